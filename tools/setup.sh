#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and is not yet
# on this Debian machine. Safe to run again; does nothing when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  wine64 qemu-user g++-multilib zip unzip debootstrap util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# The runtime for the 32-bit Windows tests (a cached Debian 13 root with
# 32-bit Wine). It reports itself what it could not do; the tests then fail
# unless ORV_SKIP_WIN32=1.
if [[ ${ORV_SKIP_WIN32:-0} != 1 ]]; then
  "$(dirname "$0")/setup_win32.sh" || true
fi
