#!/usr/bin/env bash
# Installs the Debian packages that building and testing quorvel need, when
# they are missing. Runs apt-get as root, or through sudo when available.
set -euo pipefail

# libhdf5-dev: the headers the HDF5 filter plugin builds against (it links no
# libhdf5); hdf5-tools: h5repack and h5dump, which its tests drive.
packages=(g++ make pkg-config zlib1g-dev libdeflate-dev libgtest-dev libbenchmark-dev libhdf5-dev hdf5-tools)
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
# The Python module needs the interpreter's headers; the scripts install it
# into a virtual environment, which on Debian needs python3-venv (ensurepip).
python3 - <<'PY' 2>/dev/null || packages+=(python3-dev)
import os, sysconfig, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
PY
python3 -c "import ensurepip, venv" 2>/dev/null || packages+=(python3-venv)

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
