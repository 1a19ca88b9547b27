#!/usr/bin/env bash
# Installs the Python package into a fresh virtual environment (with the
# system's site packages, for Debian's NumPy, pandas and pytest) in a temporary
# directory, without network, and runs its tests there.
#
# Usage: bash scripts/python-package.sh [--cli PATH]
#   --cli PATH  the command-line front end; the tests then check that
#               kestrumr.kestrum() gives its numbers for the same seed
# PYTHON (default /usr/bin/python3, Debian's) names the interpreter.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=""
while [ $# -gt 0 ]; do
  case $1 in
    --cli) cli=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    *) echo "usage: $0 [--cli PATH]" >&2; exit 2 ;;
  esac
done
python=${PYTHON:-/usr/bin/python3}

if ! "$python" -c 'import numpy, pytest, setuptools, wheel, venv' 2>/dev/null; then
  echo "$0: $python lacks NumPy, pytest, setuptools, wheel or venv" \
       "(Debian: python3-numpy python3-pytest python3-setuptools python3-wheel python3-venv)" >&2
  exit 1
fi
stage=$(mktemp -d "${TMPDIR:-/tmp}/kestrumr-py.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# A copy of the package, so that the build leaves nothing in the tree; the
# library's sources are read from the tree.
cp -r "$root/python" "$stage/python"
rm -rf "$stage/python/build" "$stage/python/"*.egg-info
"$python" -m venv --system-site-packages "$stage/venv"
KESTRUMR_SOURCE_DIR="$root" "$stage/venv/bin/python" -m pip install --no-index \
  --no-build-isolation --disable-pip-version-check -q "$stage/python"

# The installed package is what is tested, not the copy of its sources;
# pytest's exit status 5 (no tests collected) fails the script too.
rm -rf "$stage/python/kestrumr"
cd "$stage"
KESTRUMR_SOURCE_DIR="$root" KESTRUM_CLI="$cli" "$stage/venv/bin/python" -m pytest \
  -p no:cacheprovider -rs -q "$stage/python/tests"
