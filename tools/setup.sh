#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and is not yet
# on this Debian machine. Safe to run again; does nothing when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  wine64 qemu-user g++-multilib zip unzip debootstrap util-linux
  pkg-config libcpp-httplib-dev nlohmann-json3-dev libtoml11-dev libcli11-dev libjs-chart.js
  chromium nodejs dpkg-dev xz-utils
  libimage-exiftool-perl python3 python3-pytest wrk
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# A nodejs that brings its own npm conflicts with Debian's npm package.
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# The Windows builds compile cpp-httplib's header-only form: Debian's source
# package of the library, with Debian's patches applied, unpacked once into
# build/deps/cpp-httplib. apt-get reads the source index from a list of its
# own here, leaving the machine's apt sources as they are.
deps=build/deps
if [[ ! -f $deps/cpp-httplib/httplib.h ]]; then
  echo "Fetching the cpp-httplib source package"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/lists/partial"
  cat >"$work/source.sources" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  apt_opts=(-o "Dir::Etc::SourceList=$work/source.sources" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" update -qq
  (cd "$work" && apt-get "${apt_opts[@]}" source -qq --download-only cpp-httplib >/dev/null &&
    dpkg-source -x --no-check ./cpp-httplib_*.dsc src >/dev/null)
  mkdir -p "$deps/cpp-httplib"
  cp "$work/src/httplib.h" "$work/src/LICENSE" "$deps/cpp-httplib/"
fi

# The browser tests' puppeteer-core, exactly as locked; it downloads no browser.
if [[ ! -d tests/browser/node_modules/puppeteer-core ]]; then
  (cd tests/browser && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi

# The runtime for the 32-bit Windows tests (a cached Debian 13 root with
# 32-bit Wine). It reports itself what it could not do; the tests then fail
# unless ORV_SKIP_WIN32=1.
if [[ ${ORV_SKIP_WIN32:-0} != 1 ]]; then
  "$(dirname "$0")/setup_win32.sh" || true
fi
