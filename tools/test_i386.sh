#!/usr/bin/env bash
# The single-precision promise on 32-bit x86, the plug-ins' real processor:
# builds the unit tests as 32-bit Linux programs (preset linux-i386: g++ -m32
# with cmake/Floating.cmake's -msse2 -mfpmath=sse, as for the 32-bit Windows
# DLLs) and runs them under qemu-i386, so the models' bit-exact worked
# examples are checked on that processor.
#
# Passing tests alone do not prove that the arithmetic stayed out of the x87
# unit, whose extended precision moves some results (the CO2 dead band, for
# one). So the driver code's objects of every 32-bit x86 build present here
# (linux-i386, mingw-i686) are also checked for x87 arithmetic instructions.
# Loads and stores (fld, fst) stay: the 32-bit calling convention returns
# floats in an x87 register.
#
# Extra arguments go to ctest. Exit status 0 only when both parts pass.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly preset=linux-i386
readonly x87_arithmetic='[[:space:]]f(add|sub|subr|mul|div|divr|sqrt|prem|prem1|scale|sin|cos|com|comp|ucom|ucomp|comi|ucomi|rndint)[a-z]*[[:space:]]'

# Prints every x87 arithmetic instruction in the driver code of build $1.
x87_in_build() {
  local dir=$1 objdump=$2 object found=0
  while IFS= read -r -d '' object; do
    if "$objdump" -d --no-show-raw-insn "$object" | grep -E "$x87_arithmetic" |
      sed "s|^|$object:|"; then
      found=1
    fi
  done < <(find "$dir"/models "$dir"/framework "$dir"/platform "$dir"/plugins \
    \( -name '*.o' -o -name '*.obj' \) -print0 2>/dev/null)
  return $((1 - found))
}

check_sse_only() {
  local dir=$1 objdump=$2
  [[ -d $dir ]] || return 0
  if ! command -v "$objdump" >/dev/null; then
    echo "test_i386: $objdump not found, cannot check $dir" >&2
    return 1
  fi
  if x87_in_build "$dir" "$objdump"; then
    echo "test_i386: $dir: x87 arithmetic in the driver code (see above)" >&2
    return 1
  fi
  echo "test_i386: $dir: the driver code does its float arithmetic in SSE"
}

status=0
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
check_sse_only "build/$preset" objdump || status=1
check_sse_only build/mingw-i686 i686-w64-mingw32-objdump || status=1
ctest --preset "$preset" "$@" || status=1
exit "$status"
