#!/usr/bin/env bash
# The main job: builds the plug-ins and the reference host, then runs the host
# on an emulated CO2 controller. Extra arguments go to the host, e.g.
#   tools/run_host.sh --plugin build/default/bin/climate_sim.so --devices 2 --duration 30
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target orv_host gasctl_sim twotemp_sim climate_sim \
  portpick portconf portconf_dt

bin=build/default/bin
if (($# == 0)); then
  set -- --plugin "$bin/gasctl_sim.so" --devices 1 --interval 0 --duration 15
fi
exec "$bin/orv_host" "$@"
