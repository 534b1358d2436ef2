#!/usr/bin/env bash
# The same emulated-time run of a climate_sim device (ORV_EMU_SPEED=1000,
# identifier 1, one write before the start) exports the same lines from the
# Linux plug-in and from the 32-bit DLL under 32-bit Wine, overheat flags
# included, for the ticks both recorded. Needs the default and mingw-i686
# builds.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly linux_tests=build/default/bin/orv_integration_tests
readonly win32_tests=build/mingw-i686/bin/orv_integration_tests.exe
if [[ ! -x $linux_tests || ! -f $win32_tests ]]; then
  echo "test_emulated_exchange: build presets default and mingw-i686 first" >&2
  exit 1
fi
export ORV_EMULATED_EXCHANGE_DIR=$PWD/build/emulated-exchange
rm -rf "$ORV_EMULATED_EXCHANGE_DIR"
mkdir -p "$ORV_EMULATED_EXCHANGE_DIR"
readonly filter=--gtest_filter=IntegrationEmulatedTime.TwoRunsOfAClimateDeviceExportTheSameLines

LD_LIBRARY_PATH=$PWD/build/default/bin "$linux_tests" "$filter"
tools/win32_run.sh "$win32_tests" "$filter"

linux=$ORV_EMULATED_EXCHANGE_DIR/climate-linux.txt
win32=$ORV_EMULATED_EXCHANGE_DIR/climate-win32.txt
lines=$(($(wc -l <"$linux") < $(wc -l <"$win32") ? $(wc -l <"$linux") : $(wc -l <"$win32")))
if ((lines < 302)); then
  echo "test_emulated_exchange: only $lines lines in common" >&2
  exit 1
fi
if ! cmp <(head -n "$lines" "$linux") <(head -n "$lines" "$win32"); then
  echo "test_emulated_exchange: the exports differ" >&2
  exit 1
fi
echo "test_emulated_exchange: $lines lines alike from the Linux plug-in and the 32-bit DLL"
