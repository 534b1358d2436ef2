#!/usr/bin/env bash
# Builds the 64-bit Windows programs (preset mingw-x64: the plug-ins, the
# reference dialog modules and host, the unit, integration and host test
# suites) and runs every test under Debian's wine64, as Windows programs that
# load the Windows plug-ins with LoadLibraryA.
#
# Wine runs in its own prefix, build/mingw-x64/wine-prefix, created once,
# with no display. Extra arguments go to ctest, e.g. tools/test_windows.sh -R Image.
# tools/test_all.sh runs the same steps through its own counters.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly preset=mingw-x64
readonly build_dir=build/$preset

export WINEPREFIX=$PWD/$build_dir/wine-prefix
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

# Ends the prefix's wineserver (and with it Wine's background programs),
# which otherwise stays 30 s after the last test.
stop_wine() {
  local server=/usr/lib/wine/wineserver64
  [[ -x $server ]] || server=wineserver
  if [[ -d $WINEPREFIX ]]; then "$server" -k 2>/dev/null || true; fi
}
trap stop_wine EXIT

cmake --preset "$preset" >/dev/null
# The build also creates the prefix (wineboot -i) the first time.
cmake --build --preset "$preset"
CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2} ctest --preset "$preset" "$@"
