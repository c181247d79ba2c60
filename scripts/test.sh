#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, then builds and runs every test, each
# phase in a build folder of its own:
#   build        Release, warnings as errors; the whole test suite; then its
#                Debian package built, installed, used, removed and purged
#   build-asan   the suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   build-tsan   the suite under ThreadSanitizer
#   build-fuzz   the parsers of untrusted input fuzzed for FUZZ_SECONDS each
#   build-mingw  TraceApi.dll against the Windows SDK (mingw-w64)
# Any sanitizer report fails its test and so the run. The time of each
# phase is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
sanitizers="$root/tests/sanitizers"

timings=()
run_start=$(date +%s)
report() {
  local status=$?
  echo "==== phase times"
  for line in "${timings[@]}"; do echo "$line"; done
  printf '%-34s %6ds%s\n' "total" $(($(date +%s) - run_start)) "$([ $status -eq 0 ] || echo "  (failed, exit $status)")"
}
trap report EXIT
phase() {  # phase <name> <command...>
  local name=$1 start
  shift
  echo "==== $name"
  start=$(date +%s)
  "$@"
  timings+=("$(printf '%-34s %6ds' "$name" $(($(date +%s) - start)))")
}

suite() {  # suite <build folder>: every test of a build
  (cd "$1" && ctest --output-on-failure -j"$jobs" --timeout 900)
}

# Optimised lightly and with line tables only: reports keep their file and
# line, and the two sanitized builds take half the time of full debug
# information on CI's two cores.
sanitized_build() {  # sanitized_build <folder> <address|thread>
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRACEAPI_WERROR=ON -DTRACEAPI_SANITIZE="$2" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DTRACEAPI_BUILD_BENCH=OFF >/dev/null
  cmake --build "$1" -j"$jobs"
}

# A report ends the process at once (the code is also built without
# recovery); the suppressions files hold only reports found to be false,
# each with its reason.
asan_suite() {
  ASAN_OPTIONS="halt_on_error=1:detect_leaks=1" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    suite build-asan
}
# The lock-order detector is off: it stops with an internal check when a
# thread holds more than 64 locks at once, which the registry's checkpointer
# does around a fork (every database's lock, so a child inherits none held);
# a real deadlock still ends its test at the time-out.
# Tests that run a child as another user pass the options on to it, and the
# checkout may be out of that user's reach (CI in /root): the child reads a
# copy of the suppressions in a folder everyone can read.
tsan_suite() {
  local copy status=0
  copy=$(mktemp -d /tmp/evtrace-tsan.XXXXXX)
  chmod 755 "$copy"
  install -m 644 "$sanitizers/tsan.supp" "$copy/tsan.supp"
  TSAN_OPTIONS="halt_on_error=1:detect_deadlocks=0:suppressions=$copy/tsan.supp" \
    suite build-tsan || status=$?
  rm -rf "$copy"
  return "$status"
}

# Fuzz the parsers of untrusted input on the consumer side for a short while
# each (FUZZ_SECONDS, default 20); a crash fails the run. Built with clang,
# with the address and undefined-behaviour sanitizers. Every other build
# replays the corpus as tests.
fuzz() {
  local dir=build-fuzz
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRACEAPI_WERROR=ON \
    -DTRACEAPI_BUILD_FUZZ=ON -DTRACEAPI_BUILD_TESTS=OFF -DTRACEAPI_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j"$jobs" --target fuzz_targets
  for target in record_convert record_reader database alert_list; do
    mkdir -p "$dir/corpus/$target"
    "$dir/fuzz/fuzz_$target" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 \
      -artifact_prefix="$dir/fuzz/$target-" "$dir/corpus/$target" "fuzz/corpus/$target"
  done
}

# The library's sources and include/TraceApi.h into TraceApi.dll, against
# the Windows SDK's headers and import libraries, without the runtime.
mingw() {
  cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DTRACEAPI_WERROR=ON >/dev/null
  cmake --build build-mingw -j"$jobs"
  ls -l build-mingw/src/TraceApi.dll
}

phase "setup" ./scripts/setup-debian.sh
phase "build (Release)" env BUILD_DIR=build ./scripts/build.sh -DCMAKE_BUILD_TYPE=Release
phase "tests" suite build
phase "package (cpack, dpkg -i, dpkg --purge)" ./scripts/check-package.sh build
phase "build-mingw (TraceApi.dll)" mingw
phase "build-asan" sanitized_build build-asan address
phase "tests under ASan+UBSan" asan_suite
phase "build-tsan" sanitized_build build-tsan thread
phase "tests under TSan" tsan_suite
phase "fuzz" fuzz
