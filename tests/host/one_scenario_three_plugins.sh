#!/usr/bin/env bash
# The reference host with the three plug-ins and one scenario file, as a lab
# person runs it: orv_host --web with three --plugin and --scenario. Each
# plug-in says how many of the file's events are for it, and only the
# driver the events name plays them. Usage: one_scenario_three_plugins.sh BIN SOURCE
set -euo pipefail
bin=$1
source=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT

fail() {
  echo "FAILED: $*" >&2
  cat "$out" >&2
  exit 1
}

run() {  # SCENARIO SECONDS
  timeout 60 "$bin/orv_host" --web 127.0.0.1:0 --devices 1 --speed 1000 --duration "$2" \
    --plugin "$bin/gasctl_sim.so" --plugin "$bin/twotemp_sim.so" --plugin "$bin/climate_sim.so" \
    --scenario "$1" >"$out" 2>&1 || fail "orv_host exited with $?"
}

# The climate controller's overheat: on the climate controller alone.
file=$source/scenarios/climate_overheat.toml
run "$file" 4
loaded="[log] Scenario ORV_SCENARIO=\"$file\":"
[[ $(grep -cF "$loaded 0 of 3 events are for this driver; nothing is loaded." "$out") == 2 ]] ||
  fail "two plug-ins should keep none of the climate file's events"
[[ $(grep -cF "$loaded 3 of 3 events are for this driver." "$out") == 1 ]] ||
  fail "the climate controller should keep all three"
[[ $(grep -cF "[log] Scenario (VKA-Ctrl EMU): device 1 at second " "$out") == 3 ]] ||
  fail "the climate controller should play three events"
if grep -qE "Scenario \((CO2-Ctrl|HX52-4d) EMU\)" "$out"; then
  fail "another driver played the climate file"
fi

# The replay example: the night starts on the CO2 controller alone.
file=$source/scenarios/replay_co2_night.toml
run "$file" 2
[[ $(grep -cF "[log] Scenario ORV_SCENARIO=\"$file\": 1 of 1 events is for this driver." "$out") == 1 ]] ||
  fail "the CO2 controller should keep the replay"
grep -qF "[log] Scenario (CO2-Ctrl EMU): device 1 at second 60: replay recordings/co2_night.csv on 0 (CO2)" "$out" ||
  fail "the CO2 controller should start the replay at second 60"
echo "one scenario, three plug-ins: each played only its own events"
