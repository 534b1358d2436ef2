#!/usr/bin/env bash
# tools/win32_run.sh mounts a program's folder into the 32-bit root and leaves
# the mount for later runs. A folder deleted and made again at the same path
# (a fresh clone where an earlier one stood) must be seen anew, not the
# deleted one through the old mount. Runs orv_host.exe --help from a folder
# outside the tree, replaces the folder, and runs it again.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/mingw-i686/bin
[[ -f $bin/orv_host.exe ]] || {
  echo "test_win32_mounts: no $bin/orv_host.exe; build the mingw-i686 preset" >&2
  exit 1
}
folder=${TMPDIR:-/tmp}/orv-win32-mount-check
trap 'rm -rf "$folder"' EXIT
for round in 1 2; do
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$bin"/orv_host.exe "$bin"/*.dll "$folder"/
  if ! out=$(tools/win32_run.sh "$folder/orv_host.exe" --help 2>&1) || [[ $out != Usage:* ]]; then
    printf '%s\n' "$out"
    echo "test_win32_mounts: FAILED in round $round: the program's folder is not seen in the root" >&2
    exit 1
  fi
done
echo "test_win32_mounts: a replaced folder is mounted anew"
