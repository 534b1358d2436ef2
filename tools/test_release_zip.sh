#!/usr/bin/env bash
# The release zip as a user would use it: unpacks the zip that
# tools/package_release.sh made into an empty folder and runs the orv_host.exe
# inside it under 32-bit Wine (tools/win32_run.sh), once per plug-in: load the
# DLL, add a device, tick a few seconds, save, export, remove, shut down.
# Only what the zip holds is beside the program, so anything missing from it
# fails the run. Exit status 0 when all three runs pass.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly seconds=${ORV_ZIP_RUN_SECONDS:-3}
shopt -s nullglob
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
