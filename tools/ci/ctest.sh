#!/usr/bin/env bash
# Builds the core's C++ tests and runs them with ctest.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$QM_ROOT"
cmake -S . -B build/ctest -G Ninja -DQUILLMARK_BUILD_MODULE=OFF -DQUILLMARK_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/ctest
ctest --test-dir build/ctest --output-on-failure
