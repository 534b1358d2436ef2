#!/usr/bin/env bash
# Fuzzes RestoreDevice for a bounded time (seconds, default 60) from a seed
# corpus of valid images. Fails on any crash or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bin=build/fuzz/bin
corpus=build/fuzz/corpus
rm -rf "$corpus" build/fuzz/artifacts
mkdir -p "$corpus" build/fuzz/artifacts
"$bin/orv_fuzz_seeds" "$corpus"
"$bin/orv_restore_fuzzer" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ "$corpus" 2>&1 | tail -n 15
