#!/usr/bin/env bash
# Builds quorvel and runs every test: the C++ suite (GoogleTest through CTest)
# and the Python suite (pytest) against the package installed from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"

python3 -m pip install --quiet --root-user-action=ignore ".[test]"
# Run from the tests folder so that `import quorvel` finds the installed module.
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)
