#!/usr/bin/env bash
# Installs the quorvel Python packages and the `quorvel` command, with the
# command's extras (EDF/BDF, WFDB, the report's pictures), from this checkout
# into .venv, compresses a real electrocardiogram with each wavelet method
# (examples/compress_signal.py), then once more with the command.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
source scripts/venv.sh
echo "Building and installing the quorvel Python packages into $venv_dir (pip install '.[cli]') ..."
"$python" -m pip install --quiet ".[cli]"
"$python" examples/compress_signal.py

quorvel="$venv_dir/bin/quorvel"
echo
echo "The command: $quorvel ($("$quorvel" --version))"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
"$quorvel" encode tests/data/ecg_mitbih208_360hz.npy "$out/ecg.qrvl" --prd 2
"$quorvel" decode "$out/ecg.qrvl" "$out/ecg.csv"
