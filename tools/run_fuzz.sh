#!/usr/bin/env bash
# Fuzzes for a bounded time (seconds, default 60): two fifths of it
# RestoreDevice from a seed corpus of valid images, a fifth each the scenario
# reader from the example scenarios, the export reader that replays load
# recordings with, and the control endpoint's request-to-event decoder from
# JSON events. Fails on any crash or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scenario_seconds=$((seconds / 5 > 0 ? seconds / 5 : 1))
export_seconds=$scenario_seconds
control_seconds=$scenario_seconds
image_seconds=$((seconds - 3 * scenario_seconds > 0 ? seconds - 3 * scenario_seconds : 1))
bin=build/fuzz/bin
corpus=build/fuzz/corpus
scenarios=build/fuzz/scenario-corpus
exports=build/fuzz/export-corpus
requests=build/fuzz/control-corpus
rm -rf "$corpus" "$scenarios" "$exports" "$requests" build/fuzz/artifacts
mkdir -p "$corpus" "$scenarios" "$exports" "$requests" build/fuzz/artifacts
"$bin/orv_fuzz_seeds" "$corpus"
"$bin/orv_restore_fuzzer" -max_total_time="$image_seconds" -max_len=4096 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "$corpus" 2>&1 | tail -n 15
# A scenario seed is one byte choosing the model, then the file: the model
# of the driver the file names (0 gasctl_sim, 1 twotemp_sim, 2 climate_sim).
for file in scenarios/*.toml; do
  case $(grep -m1 -o '^driver = "[a-z_]*"' "$file" || true) in
    *twotemp_sim*) model=1 ;;
    *climate_sim*) model=2 ;;
    *) model=0 ;;
  esac
  { printf "\\x0$model"; cat "$file"; } >"$scenarios/$(basename "$file")"
done
"$bin/orv_scenario_fuzzer" -max_total_time="$scenario_seconds" -max_len=8192 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/scenario- "$scenarios" 2>&1 |
  tail -n 15
# An export seed is one byte choosing the separator and decimal character
# (0: found by the reader), then the text: the start of each recording in
# scenarios/recordings/, and two written here.
for file in scenarios/recordings/*.csv; do
  [[ -f $file ]] || continue
  { printf '\x00'; head -c 6000 "$file"; } >"$exports/$(basename "$file")"
done
printf '\x00Second;CO2;CO2_Nominal\n0;5;8\n1;5,1;\n2;inf;nan\n' >"$exports/comma.txt"
printf '\x03Second\tLeft_Temp\r\n0\t36,95\r\n10\t37\r\n' >"$exports/tab.txt"
"$bin/orv_export_fuzzer" -max_total_time="$export_seconds" -max_len=8192 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/export- "$exports" 2>&1 |
  tail -n 15
# A request seed is one byte choosing the model, then a JSON event.
n=0
for event in \
  '{"at": "now", "action": "set", "index": 0, "value": 2.0, "devices": [1], "note": "door"}' \
  '{"at": 600, "action": "hold", "index": 3, "value": "invalid", "duration": 120}' \
  '{"at": 0, "devices": "all", "action": "ramp", "index": 0, "rate": -0.25, "duration": 60}'; do
  { printf "\\x0$n"; printf '%s' "$event"; } >"$requests/event-$n.json"
  n=$((n + 1))
done
"$bin/orv_control_fuzzer" -max_total_time="$control_seconds" -max_len=4096 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/control- "$requests" 2>&1 |
  tail -n 15
