#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest:
# the full build, then the engine's tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
jobs=$(nproc)
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRUV_GUI=OFF -DRUV_BENCH=OFF -DRUV_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600
