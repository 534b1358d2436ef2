#!/usr/bin/env bash
# Runs msvc_probe.exe, a 32-bit host built with Microsoft's C++ ABI, against one
# plug-in DLL under 32-bit Wine, through the project's tools/win32_run.sh.
#
#   tools/msvc-probe/run-probe.sh DIR PLUGIN.dll     (from the project root, as root)
#
# DIR holds PLUGIN.dll and everything it loads: the dialog modules (portpick.dll,
# portconf.dll, portconf_dt.dll) and any runtime DLLs. The probe is copied into
# DIR and run there. Its last line is "msvc-probe: N passed, M failed"; the exit
# status is 0 only when every step passed. ORV_PROBE_TIMEOUT_S (default 180)
# bounds a run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[[ $# -eq 2 ]] || { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
dir=$(realpath "$1"); plugin=$2
[[ -f $dir/$plugin ]] || { echo "run-probe: no $dir/$plugin" >&2; exit 2; }
[[ -x tools/win32_run.sh ]] || { echo "run-probe: run it from the project root (tools/win32_run.sh)" >&2; exit 2; }
cp "$here/msvc_probe.exe" "$dir/"
exec tools/win32_run.sh "$dir/msvc_probe.exe" "$plugin"
