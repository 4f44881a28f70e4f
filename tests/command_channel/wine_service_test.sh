#!/usr/bin/env bash
# Windows service mode under Wine's service control manager (a Windows-lane test).
#
# Usage: wine_service_test.sh SERVICE_EXE CLIENT_EXE QUERY_EXE
#   SERVICE_EXE  build-windows/bin/tarnel-updater-service.exe
#   CLIENT_EXE   build-windows/bin/tarnel-updater-client.exe
#   QUERY_EXE    build-windows/bin/tarnel_service_query.exe
# Expects:
#   WINEPREFIX   an initialised Wine prefix (wineboot -i done), e.g. the one that
#                scripts/test-windows makes; the test creates and deletes the service
#                TarnelUpdaterService in it.
#   the Wine loader at /usr/lib/wine/wine64 (override with WINE64=path).
# Checks: sc create; net start; the service reports RUNNING with accepted controls 0x81;
# a check command over the pipe is answered; net stop; STOPPED with exit code 0; the log
# holds the status steps and "Windows Service is asked to be stopped..." once.
set -euo pipefail

if [ $# -ne 3 ]; then
  sed -n '2,16p' "$0" >&2
  exit 2
fi
: "${WINEPREFIX:?set WINEPREFIX to an initialised Wine prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
wine="${WINE64:-/usr/lib/wine/wine64}"
service_exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
client_exe="$2"
query_exe="$3"
name=TarnelUpdaterService

fail() {
  echo "wine_service_test: FAILED: $*" >&2
  exit 1
}
cleanup() {
  "$wine" net stop "$name" >/dev/null 2>&1 || true
  "$wine" sc delete "$name" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The service logs under the local application data folder of the prefix's user.
appdata="$("$wine" cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')"
logs="$("$wine" winepath -u "$appdata" | tr -d '\r')"
logs="${logs%/}/Tarnel/Logs"
rm -rf "$logs"
mkdir -p "$logs"

cleanup
# The check below expects no pending update: a record another test left goes first.
"$wine" reg delete 'HKLM\SOFTWARE\WOW6432Node\Tarnel\Updater' /f >/dev/null 2>&1 || true
windows_path="Z:${service_exe//\//\\}"
# In a freshly booted prefix the service control manager can lose a new service or report
# its database locked for a few seconds: create and start until the service runs.
query=""
for attempt in $(seq 1 30); do
  if ! "$wine" sc query "$name" >/dev/null 2>&1; then
    "$wine" sc create "$name" binPath= "$windows_path" >/dev/null 2>&1 || true
  fi
  "$wine" net start "$name" >/dev/null 2>&1 || true
  query="$("$wine" "$query_exe" "$name" 2>/dev/null | tr -d '\r' || true)"
  [[ "$query" == "STATE 4 "* ]] && break
  sleep 1
done
[[ "$query" == "STATE 4 "* ]] || fail "the service did not start: '$query'"

query="$("$wine" "$query_exe" "$name" | tr -d '\r')"
[ "$query" = "STATE 4 CONTROLS 0x81" ] || fail "running status: '$query'"
"$wine" sc query "$name" | grep -q "STATE *: 4  RUNNING" || fail "sc query does not show RUNNING"

reply="$("$wine" "$client_exe" check 1.0 | tr -d '\r')" || fail "client check"
[ "$reply" = '{"update_needed":false}' ] || fail "reply '$reply'"

# Wine's net.exe can answer "Service not active" when the service reached STOPPED between
# two of its polls: what counts is the state the service control manager shows afterwards.
"$wine" net stop "$name" || echo "wine_service_test: net stop returned non-zero" >&2
status=""
for attempt in $(seq 1 30); do
  status="$("$wine" sc query "$name" | tr -d '\r')"
  grep -q "STATE *: 1  STOPPED" <<<"$status" && break
  sleep 1
done
echo "$status" | grep -q "STATE *: 1  STOPPED" || fail "not stopped: $status"
echo "$status" | grep -q "WIN32_EXIT_CODE *: 0 " || fail "exit code: $status"
query="$("$wine" "$query_exe" "$name" | tr -d '\r')"
[ "$query" = "STATE 1 CONTROLS 0x0" ] || fail "stopped status: '$query'"

log="$(cat "$logs"/*.log 2>/dev/null | tr -d '\r' || true)"
position=0
for line in "UpdaterManager: SetStarting" "UpdaterManager: SetStarted" "Updater ready" \
  "Windows Service is asked to be stopped..." "UpdaterManager: SetStopping" \
  "UpdaterManager: SetStopped"; do
  rest="${log:$position}"
  [[ "$rest" == *"$line"* ]] || fail "log line '$line' missing or out of order in $logs"
  before="${rest%%"$line"*}"
  position=$((position + ${#before} + ${#line}))
done
[ "$(grep -c "Windows Service is asked to be stopped..." <<<"$log")" = 1 ] ||
  fail "the stop control was logged more than once"
echo "wine_service_test: passed"
