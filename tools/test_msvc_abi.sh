#!/usr/bin/env bash
# The MSVC-ABI flavour (preset msvc-abi-i686): builds the three plug-ins and
# the dialog modules for hosts built with Microsoft's compiler, then runs its
# ctest suite under 32-bit Wine (tools/win32_run.sh): the boundary types' unit
# tests, the table tests, the export/import check of each plug-in and the
# probe (tools/msvc-probe, a 32-bit host of that ABI) on each plug-in, which
# must pass all 17 steps. About 1 minute after a 2-minute first build.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset msvc-abi-i686 >/dev/null
cmake --build --preset msvc-abi-i686
ctest --preset msvc-abi-i686 -j2
