#!/usr/bin/env bash
# A recorded run of each plug-in, exported and replayed on a fresh device at
# ORV_EMU_SPEED=1000, exports the same lines from the Linux plug-ins and from
# the 32-bit DLLs under 32-bit Wine (each side also checks its own round
# trip, from the export and from the image). Needs the default and mingw-i686
# builds.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly linux_tests=build/default/bin/orv_integration_tests
readonly win32_tests=build/mingw-i686/bin/orv_integration_tests.exe
if [[ ! -x $linux_tests || ! -f $win32_tests ]]; then
  echo "test_replay_exchange: build presets default and mingw-i686 first" >&2
  exit 1
fi
export ORV_REPLAY_EXCHANGE_DIR=$PWD/build/replay-exchange
rm -rf "$ORV_REPLAY_EXCHANGE_DIR"
mkdir -p "$ORV_REPLAY_EXCHANGE_DIR"
readonly filter=--gtest_filter=IntegrationReplay.AnExportAndAnImageReplayTheRunLineForLineAndBitForBit

LD_LIBRARY_PATH=$PWD/build/default/bin "$linux_tests" "$filter"
tools/win32_run.sh "$win32_tests" "$filter"

for plugin in gasctl_sim twotemp_sim climate_sim; do
  linux=$ORV_REPLAY_EXCHANGE_DIR/$plugin-linux.txt
  win32=$ORV_REPLAY_EXCHANGE_DIR/$plugin-win32.txt
  lines=$(wc -l <"$linux")
  # The header and seconds 0 to 300 of the replayed run.
  if ((lines != 302)); then
    echo "test_replay_exchange: $plugin: $lines lines from Linux, not 302" >&2
    exit 1
  fi
  if ! cmp "$linux" "$win32"; then
    echo "test_replay_exchange: $plugin: the replayed exports differ" >&2
    exit 1
  fi
  echo "test_replay_exchange: $plugin: $lines replayed lines alike from the Linux plug-in and the 32-bit DLL"
done
