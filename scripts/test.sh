#!/usr/bin/env bash
# Builds quorvel and runs every test: the C++ suite (GoogleTest through CTest)
# and the Python suite (pytest) against the packages installed from this
# checkout into .venv, with the test extra's dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

source scripts/venv.sh
# QUORVEL_WHEEL: test an already built wheel (CI) instead of building from this checkout.
"$python" -m pip install --quiet "${QUORVEL_WHEEL:-.}[test]"
# Run from the tests folder so that `import quorvel` finds the installed module.
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider .)
