#!/usr/bin/env bash
# Builds a 32-bit Windows release and packs it as a zip in build/release:
#
#   tools/package_release.sh          preset mingw-i686:
#       orv-emulated-drivers-<version>-win32.zip, for hosts built with
#       MinGW-w64 GCC: the three plug-ins, the runtime DLLs, the reference
#       dialog modules and host, orvctl.exe, include/orv/driver_api.h,
#       packaging/INSTALL.txt and packaging/dashboard.cmd (the dashboard by
#       double click)
#   tools/package_release.sh --msvc   preset msvc-abi-i686:
#       orv-emulated-drivers-<version>-win32-msvc.zip, for hosts built with
#       Microsoft's compiler: the three plug-ins and the reference dialog
#       modules of that ABI (standalone DLLs), orvctl.exe (linked
#       statically), the header and
#       packaging/INSTALL-msvc.txt as INSTALL.txt
#
# Before packing it checks the package: each plug-in passes
# tools/check_binary_tables.sh, a MinGW plug-in imports the C++ runtime DLL
# (not a static copy) and an MSVC-ABI one imports none, and every DLL the
# packed programs import is either packed too or a Windows system DLL. Exit
# status 0 when the zip is made.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=mingw
case ${1:-} in
  "") ;;
  --msvc) flavour=msvc ;;
  *)
    echo "usage: tools/package_release.sh [--msvc]" >&2
    exit 2
    ;;
esac

readonly objdump=i686-w64-mingw32-objdump
readonly strip=i686-w64-mingw32-strip
readonly plugins=(gasctl_sim.dll twotemp_sim.dll climate_sim.dll)
# What a bare 32-bit Windows has; a packed program may import nothing else.
readonly system_dlls=(kernel32.dll user32.dll msvcrt.dll ws2_32.dll)
if [[ $flavour == msvc ]]; then
  readonly preset=msvc-abi-i686 suffix=win32-msvc install_text=packaging/INSTALL-msvc.txt
  # Each DLL carries the parts of the C++ runtime it uses, with their symbols.
  readonly strip_mode=--strip-all
  readonly host_side=(portpick.dll portconf.dll portconf_dt.dll orvctl.exe)
  readonly runtime=()
else
  readonly preset=mingw-i686 suffix=win32 install_text=packaging/INSTALL.txt
  readonly strip_mode=--strip-debug
  readonly host_side=(portpick.dll portconf.dll portconf_dt.dll orv_host.exe orvctl.exe)
  readonly runtime=(libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
fi
readonly bin_dir=build/$preset/bin

fail() {
  echo "package_release: $*" >&2
  exit 1
}

version=$(sed -nE 's/^project\([A-Za-z_]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || fail "no project VERSION in CMakeLists.txt"
readonly name=orv-emulated-drivers-$version-$suffix
readonly release_dir=build/release
readonly stage=$release_dir/$name
readonly zip_file=$release_dir/$name.zip

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

rm -rf "$stage" "$zip_file"
mkdir -p "$stage/bin" "$stage/include/orv"
for file in "${plugins[@]}" "${host_side[@]}" ${runtime[@]+"${runtime[@]}"}; do
  [[ -f $bin_dir/$file ]] || fail "$bin_dir/$file was not built"
  cp "$bin_dir/$file" "$stage/bin/"
done
# Same input, same zip: file times and the PE time stamps that strip writes
# are those of the last commit.
epoch=$(git log -1 --format=%ct 2>/dev/null || true)
[[ -n $epoch ]] && export SOURCE_DATE_EPOCH=$epoch
# Debian's runtime DLLs carry their debug information (libstdc++-6.dll: 20 MB).
# Stripping keeps the .rsrc section, so the version resources stay
# (tools/check_version_resources.sh reads them from the zip).
"$strip" "$strip_mode" "$stage"/bin/*
cp include/orv/driver_api.h "$stage/include/orv/"
compiler="MinGW-w64 GCC $(i686-w64-mingw32-g++-posix -dumpfullversion 2>/dev/null || echo 12)"
sed -e "s/@VERSION@/$version/g" -e "s/@COMPILER@/$compiler/g" "$install_text" |
  sed 's/$/\r/' >"$stage/INSTALL.txt"
# cmd.exe reads a batch file's labels reliably only with CRLF line ends.
[[ $flavour == mingw ]] && sed 's/$/\r/' packaging/dashboard.cmd >"$stage/dashboard.cmd"

for file in "${plugins[@]}"; do
  if [[ $flavour == msvc ]]; then
    # The MSVC-ABI plug-ins carry their C++ runtime; none of its types crosses the table.
    tools/check_binary_tables.sh --standalone "$stage/bin/$file"
    continue
  fi
  tools/check_binary_tables.sh "$stage/bin/$file"
  # A plug-in without this import carries a static copy of the C++ runtime,
  # and the strings and vectors it hands the host would belong to another heap.
  headers=$("$objdump" -p "$stage/bin/$file")
  grep -qi 'DLL Name: libstdc++-6\.dll' <<<"$headers" ||
    fail "$file does not import libstdc++-6.dll: the C++ runtime must be linked as a DLL"
done
is_packed_or_system() {
  local dll=${1,,} known
  for known in "${system_dlls[@]}" ${runtime[@]+"${runtime[@]}"} "${host_side[@]}" "${plugins[@]}"; do
    [[ $dll == "${known,,}" ]] && return 0
  done
  return 1
}
for file in "$stage"/bin/*; do
  while IFS= read -r dll; do
    is_packed_or_system "$dll" || fail "${file##*/} imports $dll, which is neither packed nor a Windows system DLL"
  done < <("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
done

[[ -n $epoch ]] && find "$stage" -exec touch -h -d "@$epoch" {} +
(cd "$release_dir" && find "$name" -print | LC_ALL=C sort | zip -X -q -@ "$name.zip")
rm -rf "$stage"
zip -sf "$zip_file"
echo "package_release: $zip_file"
