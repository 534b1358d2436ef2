#!/usr/bin/env bash
# The control endpoint on the real target: the 32-bit DLLs of both flavours
# under 32-bit Wine (tools/win32_run.sh), driven end to end from Linux over
# loopback (Wine's sockets are the system's).
#
#   tools/test_control_win32.sh example    the host test of examples/host_test
#       against the MinGW zip's orv_host.exe holding its climate_sim.dll
#   tools/test_control_win32.sh msvc       the MSVC-ABI climate_sim.dll in a
#       small host of that flavour (orv_control_host.exe): its connection
#       file in the Wine user's %LOCALAPPDATA%, the token and Host guards,
#       events and advances through orvctl.exe, Shutdown within 100 ms
#       removing the file and closing the port
#   tools/test_control_win32.sh exchange   the manual clock's export of the
#       same run, from the Linux plug-in and from the 32-bit DLL, compared
#   tools/test_control_win32.sh            all three
#
# Needs the default, mingw-i686 and msvc-abi-i686 builds and the MinGW zip
# (tools/package_release.sh). Exit status: the number of parts that failed.
set -uo pipefail
cd "$(dirname "$0")/.."

readonly root=${ORV_WIN32_ROOT:-/var/cache/orv-win32/trixie}
readonly folder=$root/opt/orv/prefix/drive_c/users/root/AppData/Local/orv-emu/control
readonly work=$PWD/build/control-win32
readonly python=/usr/bin/python3
export PYTHONDONTWRITEBYTECODE=1

say() { printf 'test_control_win32: %s\n' "$*"; }

# The connection files of Windows processes that are gone (a host killed
# under Wine cannot remove its own): removed, so that no number a new
# process may get again points at them.
clean_stale() {
  "$python" - "$folder" <<'PY'
import json, pathlib, sys, urllib.request
for path in pathlib.Path(sys.argv[1]).glob("orv-*.json"):
    try:
        info = json.loads(path.read_text())
        request = urllib.request.Request(info["url"] + "clock")
        request.add_header("Authorization", "Bearer " + info["token"])
        urllib.request.urlopen(request, timeout=2)
    except Exception:
        path.unlink(missing_ok=True)
PY
}

# "PORT TOKEN FILE" of the one answering endpoint of plugin, waiting for it.
endpoint_of() {
  "$python" - "$folder" "$1" <<'PY'
import sys
sys.path.insert(0, "examples/host_test")
from control_client import find_endpoint
endpoint = find_endpoint(sys.argv[2], folder=sys.argv[1], timeout=120)
print(endpoint.info["port"], endpoint.info["token"])
PY
}

part_example() {
  local version zip bin
  version=$(sed -nE 's/^project\([A-Za-z_]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
  zip=build/release/orv-emulated-drivers-$version-win32.zip
  [[ -f $zip ]] || {
    say "$zip is missing: run tools/package_release.sh"
    return 1
  }
  rm -rf "$work/zip" && mkdir -p "$work/zip" && unzip -q "$zip" -d "$work/zip" || return 1
  bin=$(echo "$work"/zip/*/bin)
  ORV_EXAMPLE_HOST="tools/win32_run.sh $bin/orv_host.exe" ORV_EXAMPLE_PLUGIN=climate_sim.dll \
    ORV_EXAMPLE_PID_IS_OURS=0 ORV_CONTROL_FOLDER=$folder \
    "$python" -m pytest -p no:cacheprovider -q examples/host_test
}

# Runs orvctl.exe under Wine; its output in $out, its status returned.
orvctl() {
  out=$(tools/win32_run.sh build/msvc-abi-i686/bin/orvctl.exe "$@" 2>&1 | tr -d '\r')
  local status=${PIPESTATUS[0]}
  printf '%s\n' "$out" | sed 's/^/    /'
  return "$status"
}

expect() {
  local what=$1 want=$2
  if [[ $out != *"$want"* ]]; then
    say "$what: expected \"$want\""
    return 1
  fi
}

part_msvc() {
  local stop=$work/stop log=$work/msvc-host.log host port token status=0
  rm -f "$stop"
  ORV_CONTROL=0 ORV_EMU_SPEED=manual tools/win32_run.sh \
    build/msvc-abi-i686/bin/orv_control_host.exe climate_sim.dll 2 "$stop" >"$log" 2>&1 &
  host=$!
  read -r port token < <(endpoint_of climate_sim.dll) || {
    say "no connection file of the MSVC-ABI climate_sim.dll appeared"
    kill "$host"
    return 1
  }
  say "endpoint at 127.0.0.1:$port"
  local auth="Authorization: Bearer $token" url=http://127.0.0.1:$port
  [[ $(curl -s -o /dev/null -w '%{http_code}' "$url/devices") == 401 ]] || {
    say "a request without the token was not refused with 401"
    status=1
  }
  [[ $(curl -s -o /dev/null -w '%{http_code}' -H "$auth" -H 'Host: evil.example' "$url/devices") == 403 ]] || {
    say "a foreign Host was not refused with 403"
    status=1
  }
  orvctl --plugin climate_sim advance 3600 &&
    expect advance "advanced 3600 s; device 1 at 3600, device 2 at 3600" || status=1
  orvctl --plugin climate_sim event hold 5 1 --duration 120 --device 1 --note overheat &&
    expect event "event 1 posted to climate_sim.dll, device 1" || status=1
  if orvctl --plugin climate_sim event set 9 1; then status=1; fi
  expect "refused event" "\`index\` 9 is outside 0 to 5 of VKA-Ctrl EMU" || status=1
  orvctl advance 60 && expect advance "device 1 at 3660, device 2 at 3660" || status=1
  out=$(curl -s -H "$auth" "$url/devices")
  "$python" -c 'import json, sys
devices = json.loads(sys.argv[1])["devices"]
assert [d["values"][5]["value"] for d in devices] == [1, 0], devices
assert [d["second"] for d in devices] == [3660, 3660], devices' "$out" || {
    say "GET /devices does not show the overheat on device 1 alone at second 3660"
    status=1
  }
  touch "$stop"
  wait "$host" || status=1
  sed 's/^/    /' "$log" | tr -d '\r' | tail -n 5
  local took
  took=$(sed -nE 's/.*Shutdown returned 1 in ([0-9]+) ms.*/\1/p' "$log" | tr -d '\r')
  [[ -n $took && $took -lt 100 ]] || {
    say "Shutdown did not return 1 within 100 ms (${took:-no answer} ms)"
    status=1
  }
  if ls "$folder"/orv-*-climate_sim.dll.json 2>/dev/null | grep -q .; then
    for file in "$folder"/orv-*-climate_sim.dll.json; do
      grep -q "\"port\": $port," "$file" && say "the connection file was left: $file" && status=1
    done
  fi
  if curl -s -m 2 -o /dev/null "$url/"; then
    say "the port still answers after Shutdown"
    status=1
  fi
  return $status
}

part_exchange() {
  export ORV_CONTROL_EXCHANGE_DIR=$work/exchange
  rm -rf "$ORV_CONTROL_EXCHANGE_DIR" && mkdir -p "$ORV_CONTROL_EXCHANGE_DIR"
  local filter=--gtest_filter=IntegrationControl.ManualClockLandsOnExactSecondsAndRunsRepeat
  LD_LIBRARY_PATH=$PWD/build/default/bin build/default/bin/orv_integration_tests "$filter" |
    tail -n 1 || return 1
  tools/win32_run.sh build/mingw-i686/bin/orv_integration_tests.exe "$filter" | tail -n 1 || return 1
  local linux=$ORV_CONTROL_EXCHANGE_DIR/climate-manual-so.txt
  local win32=$ORV_CONTROL_EXCHANGE_DIR/climate-manual-dll.txt
  if ! cmp "$linux" "$win32"; then
    say "the manual clock's exports differ"
    return 1
  fi
  say "$(wc -l <"$linux") lines alike from the Linux plug-in and the 32-bit DLL"
}

mkdir -p "$work" "$folder"
clean_stale
failed=0
for part in ${1:-example msvc exchange}; do
  say "== $part"
  if "part_$part"; then say "$part: passed"; else say "$part: FAILED" && failed=$((failed + 1)); fi
done
clean_stale
exit $failed
