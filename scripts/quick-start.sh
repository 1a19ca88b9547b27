#!/usr/bin/env bash
# Installs what the command-line front end needs (cmake, ninja, g++), builds
# it alone (the one target kestrum, with the library's code in it, under
# ./build) and runs it on the bundled example data:
#   bash scripts/quick-start.sh [kestrum options]
# The options default to the example's groups, --groups 4,4,4; the results
# go to standard output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-packages.sh quick
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUMR_TESTS=OFF >&2
cmake --build build --target kestrum >&2
[ $# -gt 0 ] || set -- --groups 4,4,4
exec build/cli/kestrum "$@" examples/example.tsv
