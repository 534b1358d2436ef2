#!/usr/bin/env bash
# Fuzzes for a bounded time (seconds, default 60): two thirds of it
# RestoreDevice from a seed corpus of valid images, one third the scenario
# reader from the example scenarios. Fails on any crash or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scenario_seconds=$((seconds / 3 > 0 ? seconds / 3 : 1))
image_seconds=$((seconds - scenario_seconds > 0 ? seconds - scenario_seconds : 1))
bin=build/fuzz/bin
corpus=build/fuzz/corpus
scenarios=build/fuzz/scenario-corpus
rm -rf "$corpus" "$scenarios" build/fuzz/artifacts
mkdir -p "$corpus" "$scenarios" build/fuzz/artifacts
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
