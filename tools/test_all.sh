#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests the default
# build, the AddressSanitizer+UBSan and ThreadSanitizer builds, the docs
# (tools/check_docs.py), the msvc-probe binaries against their SHA-256, the
# web dashboard in headless chromium, the 32-bit
# Windows DLLs with their export/import check and their test suites under
# 32-bit Wine (tools/win32_run.sh), the MSVC-ABI DLLs under the probe (a host
# built with that ABI) and their zip, the 64-bit Windows build's
# whole test suite under Wine, the unit tests as 32-bit x86 programs under
# qemu-i386, the release zip and its files' version resources, the control
# endpoint's example host test on Linux and on the 32-bit DLLs of both
# flavours, and fuzzes the image, scenario and export readers and the
# control endpoint's event decoder.
# Ends with one line "N passed, N failed" over every stage.
set -uo pipefail
cd "$(dirname "$0")/.."

export CTEST_PARALLEL_LEVEL=2
passed=0
failed=0
log_dir=build/test-logs
mkdir -p "$log_dir"

# Prints a stage's title, and how long the stage before it took.
stage_name=""
stage_start=$SECONDS
stage() {
  [[ -n $stage_name ]] && printf '(%s: %d s)\n' "$stage_name" $((SECONDS - stage_start))
  stage_name=$*
  stage_start=$SECONDS
  printf '\n=== %s ===\n' "$*"
}

# Runs ctest for a preset, or the given script that ends by running it, and
# adds its counts to the totals. A script that fails beyond its tests counts
# one more failure.
run_ctest() {
  local preset=$1 log="$log_dir/ctest-$1.log"
  shift
  local -a command=(ctest --preset "$preset")
  (($#)) && command=("$@")
  "${command[@]}" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [[ -z $line ]]; then
    failed=$((failed + 1))
    return
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if ((status != 0 && bad == 0)); then
    echo "FAILED: ${command[*]}"
    failed=$((failed + 1))
  fi
}

# A step that is not a test runner counts as one test.
run_step() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $name"
    failed=$((failed + 1))
  fi
}

build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

stage "setup"
tools/setup.sh || exit 1

for preset in default asan tsan; do
  stage "$preset build"
  if build "$preset"; then
    stage "$preset tests"
    run_ctest "$preset"
  else
    echo "FAILED: $preset build"
    failed=$((failed + 1))
  fi
done

# Needs the default build's orv_host, whose --help lists the options.
stage "docs: README.md and docs/ name only options, paths and links that exist"
run_step "docs check" python3 tools/check_docs.py
run_step "docs check self-test" python3 tools/test_check_docs.py

# The probe's binaries are those its source in tools/msvc-probe/src built.
stage "msvc-probe: the binaries match their SHA-256"
run_step "msvc-probe SHA-256" bash -c 'cd tools/msvc-probe && sha256sum --check --strict SHA256SUMS'

# A host's test through the control endpoint, as its test engineer writes it.
stage "control: the example host test (examples/host_test) on Linux"
run_step "control example on Linux" env PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -p no:cacheprovider -q examples/host_test

if [[ -f tools/test_browser.sh ]]; then
  stage "browser: the web dashboard in headless chromium"
  log="$log_dir/browser.log"
  tools/test_browser.sh 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  pass=$(sed -nE 's/^# pass ([0-9]+)$/\1/p' "$log" | tail -n 1)
  fail=$(sed -nE 's/^# fail ([0-9]+)$/\1/p' "$log" | tail -n 1)
  passed=$((passed + ${pass:-0}))
  failed=$((failed + ${fail:-0}))
  if ((status != 0)) && [[ ${fail:-0} == 0 ]]; then
    echo "FAILED: tools/test_browser.sh"
    failed=$((failed + 1))
  fi
fi

if [[ -f cmake/toolchains/mingw-i686.cmake ]]; then
  stage "mingw-i686: the 32-bit Windows DLLs"
  run_step "mingw-i686 build" build mingw-i686
  for dll in gasctl_sim twotemp_sim climate_sim; do
    run_step "$dll.dll tables" tools/check_binary_tables.sh "build/mingw-i686/bin/$dll.dll"
  done
  stage "release zip"
  run_step "release zip" tools/package_release.sh
  run_step "release zip: version resources" tools/check_version_resources.sh
  run_step "version resource check fails on altered copies" tools/check_version_resources.sh --self-test
fi

# The 32-bit DLLs themselves, under 32-bit Wine (the runtime tools/setup.sh
# prepares). Skipped only on request: ORV_SKIP_WIN32=1.
if [[ -x tools/win32_run.sh && ${ORV_SKIP_WIN32:-0} == 1 ]]; then
  stage "32-bit Windows under Wine: SKIPPED on request (ORV_SKIP_WIN32=1)"
elif [[ -x tools/win32_run.sh ]]; then
  stage "mingw-i686: unit, integration and host tests on the 32-bit DLLs under 32-bit Wine"
  run_ctest mingw-i686 tools/test_win32.sh
  stage "release zip: its orv_host.exe runs each plug-in, its dashboard.cmd the dashboard, under 32-bit Wine"
  run_step "release zip under Wine" tools/test_release_zip.sh
  run_step "dashboard.cmd under Wine" tools/test_dashboard_cmd.sh
  run_step "a replaced folder under Wine" tools/test_win32_mounts.sh
  stage "device images between Linux and the 32-bit DLLs"
  run_step "image exchange" tools/test_image_exchange.sh
  stage "emulated time: the same climate run on Linux and on the 32-bit DLL"
  run_step "emulated-time exchange" tools/test_emulated_exchange.sh
  stage "scenarios: the three examples on Linux and on the 32-bit DLLs"
  run_step "scenario exchange" tools/test_scenario_exchange.sh
  stage "replays: a recorded run replayed on Linux and on the 32-bit DLLs"
  run_step "replay exchange" tools/test_replay_exchange.sh
  if [[ -f cmake/toolchains/msvc-abi-i686.cmake ]]; then
    stage "msvc-abi-i686: the DLLs for hosts built with Microsoft's compiler, and the probe on each"
    run_ctest msvc-abi-i686 tools/test_msvc_abi.sh
    stage "msvc release zip: the probe runs each plug-in from the unpacked zip"
    run_step "msvc release zip" tools/package_release.sh --msvc
    run_step "msvc release zip: version resources" tools/check_version_resources.sh --msvc
    run_step "msvc release zip under Wine" tools/test_release_zip.sh --msvc
    stage "control endpoint on the 32-bit DLLs under Wine: the example, the MSVC-ABI DLL, the manual clock's export"
    run_step "control example under Wine" tools/test_control_win32.sh example
    run_step "control endpoint of the MSVC-ABI DLL" tools/test_control_win32.sh msvc
    run_step "manual clock exchange" tools/test_control_win32.sh exchange
  fi
fi

if [[ -f cmake/toolchains/mingw-x64.cmake ]]; then
  stage "mingw-x64: unit and integration tests as Windows programs under Wine"
  run_ctest mingw-x64 tools/test_windows.sh
fi

if [[ -f cmake/toolchains/linux-i386.cmake ]]; then
  stage "linux-i386: unit tests as 32-bit x86 programs under qemu-i386"
  run_ctest linux-i386 tools/test_i386.sh
fi

if [[ -f fuzz/CMakeLists.txt ]]; then
  stage "fuzz: the image, scenario and export readers, the control endpoint's event decoder"
  run_step "fuzz build" build fuzz
  run_step "fuzz run" tools/run_fuzz.sh "${ORV_FUZZ_SECONDS:-60}"
fi

stage "summary"
[[ ${ORV_SKIP_WIN32:-0} == 1 ]] && echo "not run: the 32-bit Windows stages (ORV_SKIP_WIN32=1)"
echo "$passed passed, $failed failed"
((failed == 0))
