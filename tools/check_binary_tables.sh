#!/usr/bin/env bash
# Checks the binary interface of a built driver plug-in:
#   - it exports exactly one symbol, GetOrvDeviceDriverAPI;
#   - a Windows DLL imports only Windows system DLLs and the C/C++ runtime
#     DLLs that are shipped beside it, so a host can load it on a bare system.
#
# Usage: tools/check_binary_tables.sh [--standalone] PLUGIN.so|PLUGIN.dll
#   --standalone: the DLL carries its C++ runtime (the MSVC-ABI flavour) and
#   may import Windows system DLLs and the C runtime only.
# Exit status: 0 when the plug-in passes, 1 when a check fails, 2 on a usage
# error or when no tool can read the file. Set OBJDUMP or NM to choose the tool.
set -euo pipefail

readonly EXPECTED_EXPORT="GetOrvDeviceDriverAPI"

# DLLs a plug-in may import, as lower-case shell patterns: the Windows kernel
# and user interface, sockets (the control endpoint), the C runtime (msvcrt,
# or the universal CRT's forwarders and base), and the MinGW C++ runtime.
readonly ALLOWED_IMPORTS=(
  "kernel32.dll" "user32.dll" "ws2_32.dll"
  "msvcrt.dll" "api-ms-win-crt-*.dll" "ucrtbase.dll"
  "libstdc++-6.dll" "libgcc_s_*.dll" "libwinpthread-1.dll"
)

# With --standalone, only these.
readonly STANDALONE_IMPORTS=(
  "kernel32.dll" "user32.dll" "ws2_32.dll"
  "msvcrt.dll" "api-ms-win-crt-*.dll" "ucrtbase.dll"
)

fail() {
  echo "check_binary_tables: $plugin: $*" >&2
  exit 1
}

usage_error() {
  echo "check_binary_tables: $*" >&2
  exit 2
}

# The one export, checked against the list of names the file exports.
check_exports() {
  local -a names=("$@")
  if [[ ${#names[@]} -eq 0 ]]; then
    fail "exports nothing; expected exactly $EXPECTED_EXPORT"
  fi
  if [[ ${#names[@]} -ne 1 || ${names[0]} != "$EXPECTED_EXPORT" ]]; then
    fail "exports ${#names[@]} symbol(s), expected exactly $EXPECTED_EXPORT:$(printf '\n  %s' "${names[@]}")"
  fi
}

check_shared_object() {
  local nm_tool=${NM:-nm}
  command -v "$nm_tool" >/dev/null || usage_error "$nm_tool not found"
  local listing
  # Every defined dynamic symbol counts, whatever its kind.
  listing=$("$nm_tool" -D --defined-only "$plugin" 2>&1) ||
    usage_error "$nm_tool cannot read $plugin: $listing"
  local -a names=()
  local line
  while IFS= read -r line; do
    [[ -z $line || $line == *"no symbols"* ]] && continue
    names+=("${line##* }")
  done <<<"$listing"
  check_exports "${names[@]+"${names[@]}"}"
  echo "check_binary_tables: $plugin: exports only $EXPECTED_EXPORT"
}

# Picks an objdump that reads this PE file: the caller's choice, a MinGW one,
# or the build machine's own when it was built with PE support.
find_pe_objdump() {
  local tool
  for tool in ${OBJDUMP:-} x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump objdump; do
    if command -v "$tool" >/dev/null && "$tool" -p "$plugin" >/dev/null 2>&1; then
      echo "$tool"
      return 0
    fi
  done
  return 1
}

is_allowed_import() {
  local dll=${1,,} pattern
  local -a allowed=("${ALLOWED_IMPORTS[@]}")
  [[ $standalone == 1 ]] && allowed=("${STANDALONE_IMPORTS[@]}")
  for pattern in "${allowed[@]}"; do
    # shellcheck disable=SC2053  # the pattern is meant to match as a glob
    [[ $dll == $pattern ]] && return 0
  done
  return 1
}

check_dll() {
  local tool headers
  tool=$(find_pe_objdump) || usage_error "no objdump can read $plugin as a PE file (set OBJDUMP)"
  headers=$("$tool" -p "$plugin")

  # Export table: one "+base[" line per exported address (named or by ordinal
  # only), and the names under "[Ordinal/Name Pointer] Table".
  local addresses
  addresses=$(grep -c '+base\[' <<<"$headers" || true)
  local -a names=()
  mapfile -t names < <(awk '
    /^\[Ordinal\/Name Pointer\] Table/ { in_names = 1; next }
    in_names && /^[[:space:]]*$/ { in_names = 0 }
    in_names && match($0, /^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+/) {
      print substr($0, RLENGTH + 1)
    }' <<<"$headers")
  check_exports "${names[@]+"${names[@]}"}"
  if [[ $addresses -ne 1 ]]; then
    fail "exports $addresses entries (some by ordinal only), expected exactly $EXPECTED_EXPORT"
  fi

  local -a imports=() unexpected=()
  mapfile -t imports < <(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers")
  local dll
  for dll in "${imports[@]+"${imports[@]}"}"; do
    is_allowed_import "$dll" || unexpected+=("$dll")
  done
  if [[ ${#unexpected[@]} -gt 0 ]]; then
    local what="neither Windows system DLLs nor the C/C++ runtime"
    [[ $standalone == 1 ]] && what="neither Windows system DLLs nor the C runtime (a standalone DLL)"
    fail "imports DLLs that are $what:$(printf '\n  %s' "${unexpected[@]}")"
  fi
  echo "check_binary_tables: $plugin: exports only $EXPECTED_EXPORT; imports: ${imports[*]}"
}

standalone=0
if [[ ${1:-} == --standalone ]]; then
  standalone=1
  shift
fi
[[ $# -eq 1 ]] || usage_error "usage: $0 [--standalone] PLUGIN.so|PLUGIN.dll"
plugin=$1
[[ -f $plugin ]] || usage_error "$plugin: no such file"

case ${plugin,,} in
  *.dll) check_dll ;;
  *.so | *.so.*) check_shared_object ;;
  *) usage_error "$plugin: expected a .so or .dll file" ;;
esac
