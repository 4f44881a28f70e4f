@echo off
rem Installs and starts the Tarnel update service: the Windows service "TarnelUpdaterService",
rem its own process, automatic start, restarted by the service control manager on failure.
rem Run from an elevated command prompt, from the folder that holds tarnel-updater-service.exe
rem (any current directory works: the path is taken from this script's own folder).
rem Exit code 0 when the service is installed and running.
setlocal
set "SERVICE=TarnelUpdaterService"
set "BINARY=%~dp0tarnel-updater-service.exe"
set "KEY=HKLM\SOFTWARE\WOW6432Node\Tarnel\Updater"

if not exist "%BINARY%" (
  echo install-service: %BINARY% not found
  exit /b 2
)

sc create %SERVICE% binPath= "\"%BINARY%\"" type= own start= auto DisplayName= "Tarnel Updater Service"
if errorlevel 1 (
  echo install-service: creating the service failed; run this script as an administrator, and
  echo run uninstall-service.cmd first if the service exists already
  exit /b 1
)
sc description %SERVICE% "Registers, verifies and starts the installers of Tarnel updates."
rem Restart 5 s after the first and second failure, 60 s after further ones; the failure count
rem is reset after a day without failure.
sc failure %SERVICE% reset= 86400 actions= restart/5000/restart/5000/restart/60000
if errorlevel 1 (
  echo install-service: setting the restart on failure failed
  exit /b 1
)

rem The pending-update record lives in this key; the service never creates it. Existing
rem values (InstallPath written by the product's installer) are kept.
reg add "%KEY%" /f >nul
if errorlevel 1 (
  echo install-service: creating %KEY% failed
  exit /b 1
)

sc start %SERVICE%
if errorlevel 1 (
  echo install-service: starting the service failed
  exit /b 1
)
echo install-service: %SERVICE% installed and started
exit /b 0
