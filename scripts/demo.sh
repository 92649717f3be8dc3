#!/usr/bin/env bash
# Installs the quorvel Python packages from this checkout into .venv and
# compresses a real electrocardiogram with each wavelet method
# (examples/compress_signal.py).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
source scripts/venv.sh
echo "Building and installing the quorvel Python packages into $venv_dir (pip install .) ..."
"$python" -m pip install --quiet .
"$python" examples/compress_signal.py
