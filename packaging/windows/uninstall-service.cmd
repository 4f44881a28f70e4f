@echo off
rem Stops and deletes the Windows service "TarnelUpdaterService". Run from an elevated
rem command prompt. The registry key with the pending-update record, the settings file and
rem the log files are left in place. Exit code 0 when the service no longer exists.
setlocal
set "SERVICE=TarnelUpdaterService"

sc query %SERVICE% >nul 2>&1
if errorlevel 1 (
  echo uninstall-service: %SERVICE% is not installed
  exit /b 0
)

sc stop %SERVICE% >nul 2>&1
rem Wait up to 30 s for the stopped state (STATE 1) before deleting.
set /a TRIES=0
:wait_stopped
sc query %SERVICE% | find "STATE" | find " 1 " >nul
if not errorlevel 1 goto stopped
set /a TRIES+=1
if %TRIES% geq 30 (
  echo uninstall-service: %SERVICE% did not stop within 30 s
  exit /b 1
)
ping -n 2 127.0.0.1 >nul
goto wait_stopped

:stopped
sc delete %SERVICE%
if errorlevel 1 (
  echo uninstall-service: deleting the service failed; run this script as an administrator
  exit /b 1
)
echo uninstall-service: %SERVICE% stopped and deleted
exit /b 0
