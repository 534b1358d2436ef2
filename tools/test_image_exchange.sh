#!/usr/bin/env bash
# Device images between Linux and 32-bit Windows, for all three plug-ins: the
# integration tests of the default build (Linux .so plug-ins) and of preset
# mingw-i686 (the 32-bit DLLs, under 32-bit Wine through tools/win32_run.sh)
# each save an image with samples, renamed channels, changed colours and
# another interval into build/image-exchange, then each restores the other
# side's image and checks that saving it again gives the same bytes but for
# the driver's file name and the image length. Needs both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly linux_tests=build/default/bin/orv_integration_tests
readonly win32_tests=build/mingw-i686/bin/orv_integration_tests.exe
if [[ ! -x $linux_tests || ! -f $win32_tests ]]; then
  echo "test_image_exchange: build presets default and mingw-i686 first" >&2
  exit 1
fi
export ORV_IMAGE_EXCHANGE_DIR=$PWD/build/image-exchange
rm -rf "$ORV_IMAGE_EXCHANGE_DIR"
mkdir -p "$ORV_IMAGE_EXCHANGE_DIR"

run() {
  local side=$1 test=$2
  echo "--- $side: $test"
  if [[ $side == linux ]]; then
    LD_LIBRARY_PATH=$PWD/build/default/bin "$linux_tests" --gtest_filter="Exchange/ImageExchange.$test/*"
  else
    tools/win32_run.sh "$win32_tests" --gtest_filter="Exchange/ImageExchange.$test/*"
  fi
}

run linux Save
run win32 Save
for plugin in gasctl_sim twotemp_sim climate_sim; do
  for side in linux win32; do
    [[ -s $ORV_IMAGE_EXCHANGE_DIR/$plugin-$side.img ]] || {
      echo "test_image_exchange: $side saved no image of $plugin" >&2
      exit 1
    }
  done
done
run win32 RestoreTheOtherSidesImage
run linux RestoreTheOtherSidesImage
echo "test_image_exchange: images of all three plug-ins move both ways"
