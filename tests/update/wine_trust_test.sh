#!/usr/bin/env bash
# Publisher trust on Windows, under Wine (a Windows-lane test): the service's publisher is
# the signer of its own executable, and only installers of that signer are started.
#
# Usage: wine_trust_test.sh SERVICE_EXE CLIENT_EXE INSTALLER_EXE
#   SERVICE_EXE    build-windows/bin/tarnel-updater-service.exe
#   CLIENT_EXE     build-windows/bin/tarnel-updater-client.exe
#   INSTALLER_EXE  build-windows/bin/tarnel_record_args_installer.exe
# Expects:
#   WINEPREFIX   an initialised Wine prefix with the certutil stand-in in place, as
#                scripts/test-windows makes it; the test uses C:\tarnel-trust in it, the
#                updater key and the service's pipe.
#   openssl and osslsigncode on PATH; the Wine loader at /usr/lib/wine/wine64 (WINE64=path).
# Checks, with certificates made here: a copy of the service signed by "CN=Tarnel Test
# Publisher" logs that publisher and starts an installer signed by it, and refuses one
# signed by another subject, an unsigned one and a signed one changed afterwards (each with
# its digest registered, so only the signature stands in the way); an unsigned copy of the
# service has no publisher and starts an unsigned installer; a signed copy changed after
# signing starts nothing. Under a publisher, a signed installer whose version resource is
# older than the service's, or that has none, is refused; equal and newer ones start; an
# unsigned service checks no version. Every started installer runs from its staged copy, its
# exit code is logged and the copy is gone afterwards.
# The versioned installers are found beside INSTALLER_EXE (tarnel_record_args_installer_older,
# _equal and _newer).
# Wine's WinVerifyTrust does not check chain trust (a self-signed signer verifies), so a
# certificate of another key under the publisher's subject cannot be shown refused here.
set -Eeuo pipefail

if [ $# -ne 3 ]; then
  sed -n '2,/^set -Eeuo/p' "$0" | sed '$d' >&2
  exit 2
fi
: "${WINEPREFIX:?set WINEPREFIX to an initialised Wine prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
wine="${WINE64:-/usr/lib/wine/wine64}"
client_exe="$2"
key='HKLM\SOFTWARE\WOW6432Node\Tarnel\Updater'
work="$WINEPREFIX/drive_c/tarnel-trust"
windows_work='C:\tarnel-trust'
service_pid=""

fail() {
  echo "wine_trust_test: FAILED: $*" >&2
  exit 1
}
# Every command that fails outside a condition ends the test; this names it.
trap 'status=$?; echo "wine_trust_test: FAILED: status $status at line $LINENO (\"$BASH_COMMAND\"), called from lines ${BASH_LINENO[*]}" >&2' ERR
client() { "$wine" "$client_exe" "$@" | tr -d '\r'; }
# A Wine tool (reg, cmd, winepath) whose result the test needs: tried up to three times, as
# a Wine process start can fail now and then on a loaded machine; its errors are shown.
wine_tool() {
  local attempt
  for attempt in 1 2 3; do
    [ "$attempt" -eq 1 ] || sleep 1
    if "$wine" "$@" 2>"$work/wine-tool-errors.txt" | tr -d '\r'; then return 0; fi
    echo "wine_trust_test: attempt $attempt of 'wine $*' failed: $(cat "$work/wine-tool-errors.txt")" >&2
  done
  return 1
}
stop_service() {
  [ -n "$service_pid" ] || return 0
  client stop >/dev/null 2>&1 || true
  for _ in $(seq 1 60); do
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 1
  done
  if kill -0 "$service_pid" 2>/dev/null; then kill "$service_pid" 2>/dev/null || true; fi
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
}
# The updater key goes with the test, so the prefix's later tests start without its record.
end_test() {
  stop_service
  "$wine" reg delete "$key" /f >/dev/null 2>&1 || true
}
trap end_test EXIT

rm -rf "$work"
mkdir -p "$work"

# The service logs under the local application data folder of the prefix's user.
appdata="$(wine_tool cmd /c 'echo %LOCALAPPDATA%')"
logs="$(wine_tool winepath -u "$appdata")"
logs="${logs%/}/Tarnel/Logs"
log() { cat "$logs"/*.log 2>/dev/null | tr -d '\r' || true; }
wait_for_log() {
  for _ in $(seq 1 120); do
    log | grep -qF -- "$1" && return 0
    sleep 0.5
  done
  return 1
}

make_identity() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "$2" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/$1.key" -out "$work/$1.pem" \
    2>"$work/openssl-errors.txt" || fail "no certificate for $2: $(cat "$work/openssl-errors.txt")"
}
sign() {
  osslsigncode sign -certs "$work/$3.pem" -key "$work/$3.key" -n "Tarnel test" \
    -in "$1" -out "$2" >/dev/null
}
make_identity publisher "/CN=Tarnel Test Publisher"
make_identity stranger "/CN=Someone Else"

cp "$1" "$work/unsigned-service.exe"
sign "$1" "$work/signed-service.exe" publisher
cp "$work/signed-service.exe" "$work/changed-service.exe"
cp "$3" "$work/unsigned.exe"
sign "$3" "$work/same.exe" publisher
sign "$3" "$work/other.exe" stranger
sign "$3" "$work/changed.exe" publisher
installers="$(dirname "$3")"
for version in older equal newer; do
  sign "$installers/tarnel_record_args_installer_$version.exe" "$work/$version.exe" publisher
done
# One byte of the DOS stub's message: covered by the signature, unused by the loader.
for changed in changed.exe changed-service.exe; do
  printf 'X' | dd of="$work/$changed" bs=1 seek=78 conv=notrunc status=none
done
cmp -s "$3" "$work/unsigned.exe" || fail "copy of the installer differs"

# The installer records its parameters here; the service passes its environment on.
export TARNEL_RECORD_ARGS_FILE="$windows_work\\args.txt"
args_file="$work/args.txt"

start_service() {
  rm -rf "$logs"
  mkdir -p "$logs"
  "$wine" reg delete "$key" /f >/dev/null 2>&1 || true
  wine_tool reg add "$key" /v InstallPath /t REG_SZ /d 'C:\Product' /f >/dev/null
  "$wine" "$work/$1" --no-service >"$work/service-output.txt" 2>&1 &
  service_pid=$!
  wait_for_log "Updater ready" || fail "$1 did not start: $(cat "$work/service-output.txt")"
}

pending_flag() { "$wine" reg query "$key" /v PendingUpdate 2>/dev/null | tr -d '\r' | awk '/PendingUpdate/ {print $3}'; }

refusals=0
# install NAME started|refused [REASON]: registers NAME with its digest, sends install and
# checks the outcome.
install() {
  local name="$1" outcome="$2" reason="${3:-}"
  local path="$windows_work\\$name"
  rm -f "$args_file"
  client register "$path" 2.0 "$(sha256sum "$work/$name" | cut -d' ' -f1)" >/dev/null
  wait_for_log "Package ready to be installed : $path" || fail "$name was not registered"
  client install >/dev/null
  if [ "$outcome" = started ]; then
    wait_for_log "Launch installation of $path" || fail "$name was not started: $(log | tail -5)"
    for _ in $(seq 1 60); do
      [ -f "$args_file" ] && break
      sleep 0.5
    done
    [ "$(tr -d '\r' <"$args_file" 2>/dev/null)" = '/S /U /R /D=C:\Product' ] ||
      fail "$name did not run with its parameters"
    wait_for_log "INFO    | Installation of $path ended with exit code 0" ||
      fail "$name: no exit code line in: $(log | tail -5)"
    local staged
    staged="$(log | grep -F 'Staged installer copy: ' | tail -1 | sed 's/.*Staged installer copy: //')"
    case "$staged" in 'C:\ProgramData\Tarnel\Updater\Installers\'*"\\$name") ;;
      *) fail "$name: not started from a staged copy: '$staged'" ;; esac
    local staged_folder
    staged_folder="$(wine_tool winepath -u "${staged%\\*}")"
    for _ in $(seq 1 60); do
      [ -e "$staged_folder" ] || break
      sleep 0.5
    done
    [ ! -e "$staged_folder" ] || fail "$name: its staged copy is still there after its end"
  else
    refusals=$((refusals + 1))
    for _ in $(seq 1 120); do
      [ "$(log | grep -cE 'installer (signature|version) check failed. Trying to reset PendingUpdate...')" -ge "$refusals" ] && break
      sleep 0.5
    done
    log | grep -qF "ERROR   | UpdaterManagerWindows::NewPackageReadyToInstall: $reason" ||
      fail "$name: no line '$reason' in: $(log | tail -8)"
    [ "$(log | grep -cE 'installer (signature|version) check failed')" -eq "$refusals" ] ||
      fail "$name: the refusal was not logged"
    ! log | grep -qF "Launch installation of $path" || fail "$name was launched"
    [ ! -e "$args_file" ] || fail "$name ran"
    [ "$(pending_flag)" = 0x0 ] || fail "$name: PendingUpdate is $(pending_flag), not lowered"
  fi
}

start_service signed-service.exe
log | grep -qF "INFO    | Installer publisher: CN=Tarnel Test Publisher" ||
  fail "the signed service logs no publisher: $(log | grep -F 'Installer publisher' || true)"
install equal.exe started
install newer.exe started
install older.exe refused "the installer's version 0.9.9.9 is older than the service's 1.0.0.0"
install same.exe refused "the installer has no version"
install other.exe refused "the installer is not signed by the publisher (signed by CN=Someone Else)"
install unsigned.exe refused "the installer has no signature (0x800B0100)"
install changed.exe refused "the installer's signature does not match its content (0x80096010)"
stop_service

# Signed, but the signature no longer verifies: the build meant to have a publisher, so
# nothing is started (rather than everything).
refusals=0
start_service changed-service.exe
log | grep -qF "ERROR   | Installer publisher: the service's own signature does not verify (0x80096010), no installer is started until it is fixed" ||
  fail "the altered service does not say that it starts nothing: $(log | grep -F 'Installer publisher' || true)"
install equal.exe refused "the publisher certificate cannot be used (the service's own signature does not verify (0x80096010))"
stop_service

refusals=0
start_service unsigned-service.exe
log | grep -qF "INFO    | Installer publisher: none, installers are started without a signature check" ||
  fail "the unsigned service does not say it has no publisher"
install unsigned.exe started
install other.exe started
install older.exe started
stop_service
echo "wine_trust_test: passed"
