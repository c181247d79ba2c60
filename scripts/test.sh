#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
./scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" --timeout 600

# Fuzz the parsers of untrusted input on the consumer side for a short while
# each (FUZZ_SECONDS, default 20); a crash fails the run. Built with clang
# in a build folder of their own.
cd "$OLDPWD"  # the repository root, left for the build folder above
fuzz_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRACEAPI_BUILD_FUZZ=ON \
  -DTRACEAPI_BUILD_TESTS=OFF -DTRACEAPI_BUILD_BENCH=OFF >/dev/null
cmake --build "$fuzz_dir" -j"$(nproc)" --target fuzz_targets
for target in record_convert record_reader database alert_list; do
  mkdir -p "$fuzz_dir/corpus/$target"
  "$fuzz_dir/fuzz/fuzz_$target" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 \
    -artifact_prefix="$fuzz_dir/fuzz/$target-" "$fuzz_dir/corpus/$target" "fuzz/corpus/$target"
done
