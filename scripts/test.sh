#!/usr/bin/env bash
# Builds quorvel and runs every test: the C++ suite (GoogleTest through CTest)
# and the Python suite (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
