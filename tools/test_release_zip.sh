#!/usr/bin/env bash
# The release zip as a user would use it: unpacks the zip that
# tools/package_release.sh made into an empty folder and runs the orv_host.exe
# inside it under 32-bit Wine (tools/win32_run.sh), once per plug-in: load the
# DLL, add a device, tick a few seconds, save, export, remove, shut down.
# Only what the zip holds is beside the program, so anything missing from it
# fails the run. Exit status 0 when all three runs pass.
#
# With --msvc it checks the -win32-msvc zip (tools/package_release.sh --msvc)
# the same way with the probe (tools/msvc-probe), a host built with
# Microsoft's C++ ABI, in place of orv_host.exe: all 17 steps on each plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly seconds=${ORV_ZIP_RUN_SECONDS:-3}
shopt -s nullglob

if [[ ${1:-} == --msvc ]]; then
  zips=(build/release/orv-emulated-drivers-*-win32-msvc.zip)
  ((${#zips[@]} == 1)) || {
    echo "test_release_zip: expected one -win32-msvc zip in build/release, found ${#zips[@]}; run tools/package_release.sh --msvc" >&2
    exit 1
  }
  folder=$PWD/build/release-run-msvc
  rm -rf "$folder"
  mkdir -p "$folder"
  unzip -q "${zips[0]}" -d "$folder"
  bin=("$folder"/*/bin)
  status=0
  for plugin in gasctl_sim twotemp_sim climate_sim; do
    log=$folder/$plugin.log
    tools/msvc-probe/run-probe.sh "${bin[0]}" "$plugin.dll" >"$log" 2>&1 || true
    if grep -q '^msvc-probe: 17 passed, 0 failed' "$log"; then
      echo "test_release_zip: $plugin.dll from the msvc zip: $(tail -n 1 "$log")"
    else
      cat "$log"
      echo "test_release_zip: FAILED: the probe on $plugin.dll from the msvc zip" >&2
      status=1
    fi
  done
  exit "$status"
fi
zips=(build/release/orv-emulated-drivers-*-win32.zip)
((${#zips[@]} == 1)) || {
  echo "test_release_zip: expected one zip in build/release, found ${#zips[@]}; run tools/package_release.sh" >&2
  exit 1
}
folder=$PWD/build/release-run
rm -rf "$folder"
mkdir -p "$folder"
unzip -q "${zips[0]}" -d "$folder"
bin=("$folder"/*/bin)
host=${bin[0]}/orv_host.exe
[[ -f $host ]] || {
  echo "test_release_zip: the zip has no bin/orv_host.exe" >&2
  exit 1
}

status=0
for plugin in gasctl_sim twotemp_sim climate_sim; do
  out=$folder/$plugin
  start=$SECONDS
  if ! tools/win32_run.sh "$host" --plugin "$plugin.dll" --devices 1 --duration "$seconds" \
    --save-dir "$out/saved" --export-dir "$out/exported" >"$out.log" 2>&1; then
    cat "$out.log"
    echo "test_release_zip: FAILED: orv_host.exe --plugin $plugin.dll" >&2
    status=1
    continue
  fi
  images=("$out"/saved/device-*.img)
  histories=("$out"/exported/history-*.csv)
  if ((${#images[@]} != 1)) || [[ ! -s ${images[0]} ]] || ((${#histories[@]} != 1)) ||
    (($(wc -l <"${histories[0]}") < 2)); then
    cat "$out.log"
    echo "test_release_zip: FAILED: $plugin.dll left no saved image or no exported samples" >&2
    status=1
    continue
  fi
  echo "test_release_zip: $plugin.dll ran from the zip ($((SECONDS - start)) s):" \
    "$(stat -c %s "${images[0]}") byte image, $(($(wc -l <"${histories[0]}") - 1)) exported rows"
done
exit "$status"
