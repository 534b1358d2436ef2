#!/usr/bin/env bash
# The three example scenarios, each run at ORV_EMU_SPEED=1000 on device 1,
# export the same lines from the Linux plug-ins and from the 32-bit DLLs under
# 32-bit Wine, disturbances included. Needs the default and mingw-i686 builds.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly linux_tests=build/default/bin/orv_integration_tests
readonly win32_tests=build/mingw-i686/bin/orv_integration_tests.exe
if [[ ! -x $linux_tests || ! -f $win32_tests ]]; then
  echo "test_scenario_exchange: build presets default and mingw-i686 first" >&2
  exit 1
fi
export ORV_SCENARIO_EXCHANGE_DIR=$PWD/build/scenario-exchange
rm -rf "$ORV_SCENARIO_EXCHANGE_DIR"
mkdir -p "$ORV_SCENARIO_EXCHANGE_DIR"
readonly filter=--gtest_filter=IntegrationScenario.EachExampleExportsTheSameLinesTwice

LD_LIBRARY_PATH=$PWD/build/default/bin "$linux_tests" "$filter"
tools/win32_run.sh "$win32_tests" "$filter"

for example in co2_door twotemp_sensor_failure climate_overheat; do
  linux=$ORV_SCENARIO_EXCHANGE_DIR/$example-linux.txt
  win32=$ORV_SCENARIO_EXCHANGE_DIR/$example-win32.txt
  lines=$(($(wc -l <"$linux") < $(wc -l <"$win32") ? $(wc -l <"$linux") : $(wc -l <"$win32")))
  # Each example runs past its last event (at most 2,200 device seconds).
  if ((lines < 1000)); then
    echo "test_scenario_exchange: $example: only $lines lines in common" >&2
    exit 1
  fi
  if ! cmp <(head -n "$lines" "$linux") <(head -n "$lines" "$win32"); then
    echo "test_scenario_exchange: $example: the exports differ" >&2
    exit 1
  fi
  echo "test_scenario_exchange: $example: $lines lines alike from the Linux plug-in and the 32-bit DLL"
done
