#!/usr/bin/env bash
# The test command: installs what is missing, builds, checks that every package the
# build and the tests use is declared, runs every test, then runs the whole suite once
# more under AddressSanitizer and UndefinedBehaviorSanitizer, and last every libFuzzer
# target for a short while (scripts/fuzz.sh runs them long).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh build
./scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DDORVEK_SANITIZE=ON -DDORVEK_BENCHMARKS=OFF
./scripts/setup.sh build-fuzz -DDORVEK_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++
./scripts/check_packages.py

ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 300
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)" --timeout 600
# Each target replays its committed corpus, then tries new inputs (fuzz/CMakeLists.txt).
ctest --test-dir build-fuzz --output-on-failure -j "$(nproc)"
