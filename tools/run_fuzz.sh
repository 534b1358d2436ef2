#!/usr/bin/env bash
# Fuzzes for a bounded time (seconds, default 60): half of it RestoreDevice
# from a seed corpus of valid images, a quarter the scenario reader from the
# example scenarios, a quarter the control endpoint's request-to-event
# decoder from JSON events. Fails on any crash or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scenario_seconds=$((seconds / 4 > 0 ? seconds / 4 : 1))
control_seconds=$scenario_seconds
image_seconds=$((seconds - 2 * scenario_seconds > 0 ? seconds - 2 * scenario_seconds : 1))
bin=build/fuzz/bin
corpus=build/fuzz/corpus
scenarios=build/fuzz/scenario-corpus
requests=build/fuzz/control-corpus
rm -rf "$corpus" "$scenarios" "$requests" build/fuzz/artifacts
mkdir -p "$corpus" "$scenarios" "$requests" build/fuzz/artifacts
"$bin/orv_fuzz_seeds" "$corpus"
"$bin/orv_restore_fuzzer" -max_total_time="$image_seconds" -max_len=4096 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "$corpus" 2>&1 | tail -n 15
# A scenario seed is one byte choosing the model, then the file.
model=0
for file in scenarios/*.toml; do
  { printf "\\x0$model"; cat "$file"; } >"$scenarios/$(basename "$file")"
  model=$(((model + 1) % 3))
done
"$bin/orv_scenario_fuzzer" -max_total_time="$scenario_seconds" -max_len=8192 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/scenario- "$scenarios" 2>&1 |
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
