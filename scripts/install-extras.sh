#!/usr/bin/env bash
# Adds extras of the installed quorvel package (default: cli, everything the
# `quorvel` command can use) to .venv by installing their packages directly:
# `pip install '.[cli]'` would build the C++ extension again just for them.
#   bash scripts/install-extras.sh            # the command's extras
#   bash scripts/install-extras.sh edf zarr   # the extras named
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/venv.sh
# The extras' requirements as the installed package's metadata lists them.
listed="$("$python" - "${@:-cli}" <<'PY'
import importlib.metadata
import re
import sys

wanted = set(sys.argv[1:])
try:
    requirements = importlib.metadata.requires("quorvel") or []
except importlib.metadata.PackageNotFoundError:
    sys.exit("quorvel is not installed in this environment: run scripts/demo.sh first")
known = set()
for requirement in requirements:
    name, _, marker = requirement.partition(";")
    extras = set(re.findall(r"""extra\s*==\s*["']([^"']+)["']""", marker))
    known |= extras
    if extras & wanted:
        print(name.strip())
if wanted - known:
    sys.exit(f"no such extra: {', '.join(sorted(wanted - known))} (known: {', '.join(sorted(known))})")
PY
)"
mapfile -t packages <<<"$listed"
echo "Installing into $venv_dir: ${packages[*]}"
"$python" -m pip install --quiet "${packages[@]}"
