#!/usr/bin/env bash
# The test command: installs what is missing, builds, checks that every package the
# build and the tests use is declared, runs every test, then runs the whole suite once
# more under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh build
./scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DDORVEK_SANITIZE=ON -DDORVEK_BENCHMARKS=OFF
./scripts/check_packages.py

ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 300
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)" --timeout 600
