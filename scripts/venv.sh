# scripts/venv.sh: sourced by demo.sh and test.sh. Creates the virtual
# environment .venv at the top of the checkout on first use (with whichever
# python3 comes first on PATH) and points $python at its interpreter. Packages
# go there, never into the system's Python (PEP 668 forbids it on Debian).
venv_dir="${QUORVEL_VENV:-.venv}"
if ! "$venv_dir/bin/python" -c "" 2>/dev/null; then
  echo "Creating the virtual environment $venv_dir ($(command -v python3))"
  rm -rf "$venv_dir"
  python3 -m venv "$venv_dir"
  "$venv_dir/bin/python" -m pip install --quiet --upgrade pip
fi
python="$(cd "$venv_dir" && pwd)/bin/python"
