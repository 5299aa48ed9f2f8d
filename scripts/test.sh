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
# The shared-writes model test again, so that the log shows its seed and
# step count (RUV_MODEL_SEED and RUV_MODEL_STEPS choose others).
build/tests/tables_tests --gtest_filter='SharedWritesModel.*' | grep -E '^\[ *(model|PASSED|FAILED)'
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRUV_GUI=OFF -DRUV_BENCH=OFF -DRUV_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600
