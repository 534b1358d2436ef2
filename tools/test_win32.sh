#!/usr/bin/env bash
# Runs the unit, integration (with the Init-failure scenarios in their own
# folders) and host test suites as 32-bit Windows programs against the
# 32-bit DLLs that tools/package_release.sh packs: preset mingw-i686, whose
# build makes both, with every test program run by tools/win32_run.sh under
# 32-bit Wine. Extra arguments go to ctest, e.g. tools/test_win32.sh -R Image.
#
# The runtime comes from tools/setup.sh; without it this fails at once and
# says why. tools/test_all.sh runs the same steps through its own counters.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly preset=mingw-i686
readonly root=${ORV_WIN32_ROOT:-/var/cache/orv-win32/trixie}

if [[ ! -f $root/opt/orv/prefix/.orv-booted ]]; then
  echo "test_win32: the 32-bit Windows runtime is not set up in $root." >&2
  echo "test_win32: run tools/setup.sh as root (it says what is missing), or set ORV_SKIP_WIN32=1." >&2
  exit 1
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2} ctest --preset "$preset" "$@"
