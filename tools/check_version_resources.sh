#!/usr/bin/env bash
# Checks the Windows version resources (what a file's Properties > Details
# show) of the release's DLLs and programs, read with exiftool (Debian's
# libimage-exiftool-perl). Each file must carry:
#   ProductName      Emulated incubator-controller drivers
#   CompanyName      orv-emulated-drivers
#   FileDescription  naming what the file is: for a plug-in its controller
#                    (gasctl_sim: CO2, twotemp_sim: two-channel temperature,
#                    climate_sim: climate), for a dialog module its dialog,
#                    for orv_host the host, for orvctl the control client;
#                    any other file some description
#   FileVersion, ProductVersion  the project VERSION of CMakeLists.txt, as
#                    text and as the fixed-info numbers (1.0.0 and 1.0.0.0)
#   OriginalFilename, InternalName  the file's own name, without .dll/.exe
# The MinGW runtime DLLs packed beside them (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll) are third-party files shipped as built by Debian: they
# are listed as skipped, never checked.
#
#   tools/check_version_resources.sh [--msvc]   the release zip of preset
#       mingw-i686 (msvc-abi-i686), made by tools/package_release.sh, and the
#       built files in build/<preset>/bin that it packs
#   tools/check_version_resources.sh FILE...    the given .dll, .exe and .zip
#       files (a zip: every .dll and .exe in it)
#   tools/check_version_resources.sh --self-test   shows that the check fails
#       on copies of build/mingw-i686/bin/gasctl_sim.dll with the resource
#       stripped or one field altered, and on a program built without one
# Exit status: 0 when every file passes, 1 when one fails, 2 on a usage error
# or a missing tool or file.
set -euo pipefail
self=$(realpath "$0")
root=$(dirname "$(dirname "$self")")
readonly self root

readonly product_name="Emulated incubator-controller drivers"
readonly company_name="orv-emulated-drivers"
readonly runtime_pattern='^(libstdc\+\+-6|libgcc_s_.*|libwinpthread-1)\.dll$'

usage_error() {
  echo "check_version_resources: $*" >&2
  exit 2
}

command -v exiftool >/dev/null ||
  usage_error "exiftool is missing: run tools/setup.sh (libimage-exiftool-perl)"
version=$(sed -nE 's/^project\([A-Za-z_]+ VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || usage_error "no project VERSION in $root/CMakeLists.txt"
# The fixed-info numbers: always four, missing ones 0.
IFS=. read -r -a parts <<<"$version"
while ((${#parts[@]} < 4)); do parts+=(0); done
version_numbers=$(
  IFS=.
  echo "${parts[*]}"
)
readonly version version_numbers

# What a file's description must contain, by its name without extension;
# empty for a file this script does not know.
expected_description() {
  case ${1,,} in
    gasctl_sim) echo "CO2 controller" ;;
    twotemp_sim) echo "two-channel temperature controller" ;;
    climate_sim) echo "climate controller" ;;
    portpick) echo "add-device dialog" ;;
    portconf) echo "settings dialog" ;;
    portconf_dt) echo "two-channel settings dialog" ;;
    orv_host) echo "host" ;;
    orvctl) echo "control client" ;;
    *) echo "" ;;
  esac
}

# Checks the files "$@" (paths; label them with labels[i]), printing one line
# for each; returns 1 if any fails.
check_files() {
  local -a paths=() tags=(ProductName CompanyName FileDescription FileVersion ProductVersion
    FileVersionNumber ProductVersionNumber OriginalFileName InternalName)
  local path
  for path in "$@"; do paths+=("$(realpath -s "$path")"); done
  local -a args=(-T -Directory -FileName)
  local tag
  for tag in "${tags[@]}"; do args+=("-$tag"); done
  # One exiftool run for all the files, one row each in their order; a
  # missing tag reads "-". Its exit status is not used: it is 1 when a file
  # (an empty one, say) has no readable data, yet the row is there. Tabs
  # become unit separators so that an empty value keeps its column.
  local table
  table=$(exiftool "${args[@]}" "${paths[@]}" | tr '\t' '\037' || true)
  local status=0 i=0 line
  while IFS= read -r line; do
    local -a row
    IFS=$'\037' read -r -a row <<<"$line"
    local label=${labels[i]} expected_path=${paths[i]}
    i=$((i + 1))
    if [[ "${row[0]}/${row[1]}" != "$expected_path" ]]; then
      usage_error "exiftool answered for ${row[0]}/${row[1]}, not $expected_path"
    fi
    local name=${row[1]} base=${row[1]%.*}
    local -A value=()
    local k
    for k in "${!tags[@]}"; do value[${tags[k]}]=${row[k + 2]:-}; done
    local -a problems=()
    local present=0
    for tag in "${tags[@]}"; do
      if [[ ${value[$tag]} == - || -z ${value[$tag]} ]]; then
        problems+=("$tag missing")
      else
        present=1
      fi
    done
    if ((!present)); then
      echo "FAIL  $label: no version resource"
      status=1
      continue
    fi
    local want
    want=$(expected_description "$base")
    [[ ${value[ProductName]} == - || ${value[ProductName]} == "$product_name" ]] ||
      problems+=("ProductName is \"${value[ProductName]}\", not \"$product_name\"")
    [[ ${value[CompanyName]} == - || ${value[CompanyName]} == "$company_name" ]] ||
      problems+=("CompanyName is \"${value[CompanyName]}\", not \"$company_name\"")
    if [[ ${value[FileDescription]} != - ]]; then
      if [[ -n $want && ${value[FileDescription],,} != *"${want,,}"* ]]; then
        problems+=("FileDescription \"${value[FileDescription]}\" does not name the $want")
      elif [[ ${value[FileDescription]} == "$product_name" ]]; then
        problems+=("FileDescription only repeats the product name")
      fi
    fi
    for tag in FileVersion ProductVersion; do
      [[ ${value[$tag]} == - || ${value[$tag]} == "$version" ]] ||
        problems+=("$tag is \"${value[$tag]}\", not $version")
    done
    for tag in FileVersionNumber ProductVersionNumber; do
      [[ ${value[$tag]} == - || ${value[$tag]} == "$version_numbers" ]] ||
        problems+=("$tag is ${value[$tag]}, not $version_numbers")
    done
    [[ ${value[OriginalFileName]} == - || ${value[OriginalFileName],,} == "${name,,}" ]] ||
      problems+=("OriginalFilename is \"${value[OriginalFileName]}\", not $name")
    [[ ${value[InternalName]} == - || ${value[InternalName],,} == "${base,,}" ]] ||
      problems+=("InternalName is \"${value[InternalName]}\", not $base")
    if ((${#problems[@]})); then
      local problem
      for problem in "${problems[@]}"; do echo "FAIL  $label: $problem"; done
      status=1
    else
      echo "ok    $label: ${value[FileDescription]}, ${value[FileVersion]}"
    fi
  done <<<"$table"
  ((i == $#)) || usage_error "exiftool answered for $i of $# files"
  return $status
}

# Collects into paths/labels the files to check: each .dll and .exe given or
# inside a given zip, the runtime DLLs set aside with a note.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
paths=()
labels=()
add_file() {
  local path=$1 label=$2
  if [[ ${path##*/} =~ $runtime_pattern ]]; then
    echo "skip  $label: third-party MinGW runtime DLL, shipped as built, not checked"
    return
  fi
  paths+=("$path")
  labels+=("$label")
}
add_argument() {
  local file=$1
  [[ -f $file ]] || usage_error "$file does not exist"
  case ${file,,} in
    *.zip)
      local dir
      dir=$(mktemp -d "$work/zip.XXXXXX")
      unzip -q "$file" -d "$dir"
      local packed
      while IFS= read -r packed; do
        add_file "$packed" "${file##*/}:${packed#"$dir"/}"
      done < <(find "$dir" -type f \( -iname '*.dll' -o -iname '*.exe' \) | LC_ALL=C sort)
      ;;
    *.dll | *.exe) add_file "$file" "$file" ;;
    *) usage_error "$file is neither a .dll, an .exe nor a .zip" ;;
  esac
}

# Runs the check on one altered copy and expects it to fail, saying so in
# the words of expect; prints one line.
self_test_case() {
  local title=$1 expect=$2 file=$3 output status=0
  output=$("$self" "$file" 2>&1) || status=$?
  output=${output//"$work/"/}
  if ((status == 1)) && grep -q -- "FAIL .*$expect" <<<"$output"; then
    echo "ok    $title: $(grep -m1 -- "FAIL .*$expect" <<<"$output" | sed 's/^FAIL *//')"
    return 0
  fi
  echo "FAIL  $title: expected a failure naming \"$expect\", got status $status:"
  printf '        %s\n' "${output//$'\n'/$'\n'        }"
  return 1
}

# Makes in folder $3 the file of one self-test case from $2, the way $1 says,
# and prints its path.
make_case_file() {
  local how=$1 source=$2 dir=$3
  local objcopy=i686-w64-mingw32-objcopy gcc=i686-w64-mingw32-gcc
  local copy=$dir/gasctl_sim.dll
  case $how in
    strip) "$objcopy" --remove-section=.rsrc "$source" "$copy" || return ;;
    bare)
      copy=$dir/orvctl.exe
      echo 'int main(void) { return 0; }' | "$gcc" -x c - -o "$copy" || return
      ;;
    zip)
      mkdir "$dir/bin"
      "$objcopy" --remove-section=.rsrc "$source" "$dir/bin/gasctl_sim.dll" || return
      (cd "$dir" && zip -q -r release.zip bin) || return
      copy=$dir/release.zip
      ;;
    rename\ *)
      # One letter of the key changed: the field is no longer there.
      ORV_KEY=${how#rename } perl -0777 -pe '
        my $key = join("", map { "$_\0" } split(//, $ENV{ORV_KEY}));
        (my $other = $key) =~ s/.\0\z/X\0/;
        s/\Q$key\E\0\0/$other\0\0/ or die "no $ENV{ORV_KEY}\n";' <"$source" >"$copy" || return
      ;;
    blank\ *)
      # Every character of the value replaced, the length kept, so the
      # resource stays well formed.
      ORV_KEY=${how#blank } perl -0777 -pe '
        my $key = join("", map { "$_\0" } split(//, $ENV{ORV_KEY}));
        s/(\Q$key\E\0\0(?:\0\0)?)((?:[^\0]\0)+)/$1 . ("X\0" x (length($2) \/ 2))/e
          or die "no $ENV{ORV_KEY} value\n";' <"$source" >"$copy" || return
      ;;
    bump)
      # The fixed FileVersion's fourth number plus one: the low byte of its
      # second double word, after the signature and the structure version.
      perl -0777 -pe 's/(\xBD\x04\xEF\xFE.{8})(.)/$1 . chr((ord($2) + 1) % 256)/se
        or die "no fixed file info\n";' <"$source" >"$copy" || return
      ;;
    as\ *)
      copy=$dir/${how#as }
      cp "$source" "$copy" || return
      ;;
    *) return 1 ;;
  esac
  echo "$copy"
}

self_test() {
  local source=build/mingw-i686/bin/gasctl_sim.dll
  [[ -f $source ]] || usage_error "$source is missing: build preset mingw-i686 first"
  local tool
  for tool in i686-w64-mingw32-objcopy i686-w64-mingw32-gcc; do
    command -v "$tool" >/dev/null || usage_error "$tool is missing: run tools/setup.sh"
  done
  local status=0 dir
  # The untouched file passes, or the failures below prove nothing.
  mkdir "$work/good" && cp "$source" "$work/good/"
  if "$self" "$work/good/gasctl_sim.dll" >"$work/good.log" 2>&1; then
    echo "ok    as built: passes"
  else
    echo "FAIL  as built: the check refuses the built gasctl_sim.dll:"
    sed 's/^/        /' "$work/good.log"
    status=1
  fi

  # title | expected words in the failure | how the copy is made
  local -a cases=(
    "resource section stripped|no version resource|strip"
    "program built without a resource|no version resource|bare"
    "zip with the stripped DLL|no version resource|zip"
    "CompanyName renamed away|CompanyName missing|rename CompanyName"
    "ProductName altered|ProductName is|blank ProductName"
    "CompanyName altered|CompanyName is|blank CompanyName"
    "FileDescription altered|FileDescription .* does not name the CO2 controller|blank FileDescription"
    "another plug-in's resource|does not name the climate controller|as climate_sim.dll"
    "FileVersion altered|FileVersion is|blank FileVersion"
    "ProductVersion altered|ProductVersion is|blank ProductVersion"
    "fixed file version altered|FileVersionNumber is|bump"
    "OriginalFilename altered|OriginalFilename is|blank OriginalFilename"
    "InternalName altered|InternalName is|blank InternalName"
  )
  local entry title expect how n=0 copy
  for entry in "${cases[@]}"; do
    IFS='|' read -r title expect how <<<"$entry"
    n=$((n + 1))
    dir=$work/case$n
    mkdir "$dir"
    if ! copy=$(make_case_file "$how" "$source" "$dir" 2>&1); then
      echo "FAIL  $title: could not make the file: $copy"
      status=1
      continue
    fi
    self_test_case "$title" "$expect" "$copy" || status=1
  done
  echo "check_version_resources --self-test: $((n + 1)) cases, $([[ $status == 0 ]] && echo "all as expected" || echo "FAILED")"
  return $status
}

case ${1:-} in
  --self-test)
    (($# == 1)) || usage_error "usage: tools/check_version_resources.sh --self-test"
    cd "$root"
    self_test
    exit
    ;;
  "" | --msvc)
    (($# <= 1)) || usage_error "usage: tools/check_version_resources.sh [--msvc] | FILE... | --self-test"
    cd "$root"
    if [[ ${1:-} == --msvc ]]; then
      preset=msvc-abi-i686 zip=build/release/orv-emulated-drivers-$version-win32-msvc.zip
    else
      preset=mingw-i686 zip=build/release/orv-emulated-drivers-$version-win32.zip
    fi
    [[ -f $zip ]] || usage_error "$zip is missing: run tools/package_release.sh ${1:-}"
    add_argument "$zip"
    # The built files that the zip packs, as the build left them (the
    # runtime DLLs among them already noted).
    while IFS= read -r file; do
      [[ ${file##*/} =~ $runtime_pattern ]] || add_argument "build/$preset/bin/${file##*/}"
    done < <(unzip -Z1 "$zip" | grep -iE '\.(dll|exe)$' | LC_ALL=C sort)
    ;;
  -*) usage_error "usage: tools/check_version_resources.sh [--msvc] | FILE... | --self-test" ;;
  *)
    for file in "$@"; do add_argument "$file"; done
    ;;
esac

((${#paths[@]})) || usage_error "no .dll or .exe to check"
if check_files "${paths[@]}"; then
  echo "check_version_resources: every file checked (${#paths[@]}) carries its version resource ($version)"
else
  echo "check_version_resources: FAILED: a file lacks its version resource or a field" >&2
  exit 1
fi
