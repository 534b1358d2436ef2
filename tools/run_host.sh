#!/usr/bin/env bash
# The main job: builds the plug-ins and the reference host, then serves the
# web dashboard with all three plug-ins, one recording device each, until
# Ctrl-C. Each device starts with a nominal away from its measured value, so
# every controller visibly regulates in the first minute.
#   tools/run_host.sh                      dashboard at http://127.0.0.1:8080/
#   tools/run_host.sh --duration 120       the same, for two minutes
#   tools/run_host.sh --web 9000           another port (HOST:PORT for another address)
#   tools/run_host.sh --speed 1000 --scenario scenarios/replay_co2_night.toml
#                                          the same at 1000x, with a scenario
#                                          (each plug-in plays the events that name it)
# Any other arguments go to the host as they are, e.g. the terminal table:
#   tools/run_host.sh --plugin build/default/bin/climate_sim.so --devices 2 --duration 30
set -euo pipefail
cd "$(dirname "$0")/.."

# The main job needs no 32-bit Windows runtime.
ORV_SKIP_WIN32=1 tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target orv_host gasctl_sim twotemp_sim climate_sim \
  portpick portconf portconf_dt

bin=build/default/bin
demo=1
value=0  # the argument is the value of the option before it
for arg in "$@"; do
  if ((value)); then
    value=0
    continue
  fi
  case $arg in
    --duration=* | --web=* | --speed=* | --scenario=* | [0-9]* | *:[0-9]*) ;;
    --duration | --web | --speed | --scenario) value=1 ;;
    *) demo=0 ;;
  esac
done
if ((demo)); then
  # CO2 5 % towards 8 %, channel 1 37 °C towards 45 °C and channel 2 towards
  # 30 °C, the climate controller's CO2 5 % towards 3 %.
  set -- --web 8080 --duration 0 --devices 1 --interval 0 \
    --plugin "$bin/gasctl_sim.so" --set 1=8 \
    --plugin "$bin/twotemp_sim.so" --set 1=45 --set 4=30 \
    --plugin "$bin/climate_sim.so" --set 1=3 \
    "$@"
fi
exec "$bin/orv_host" "$@"
