#!/usr/bin/env bash
# Installs the quorvel Python package from this checkout and compresses a real
# electrocardiogram with each wavelet method (examples/compress_signal.py).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
echo "Building and installing the quorvel Python package (pip install .) ..."
python3 -m pip install --quiet --root-user-action=ignore .
python3 examples/compress_signal.py
