#!/usr/bin/env bash
# Installs the Debian packages that a job of this repository needs, when any
# of them is missing:
#   bash scripts/install-packages.sh quick   the command-line front end
#   bash scripts/install-packages.sh test    everything scripts/run-tests.sh runs
# Packages already installed are left alone, so that a machine that has them
# all installs nothing and needs no network.  As root the packages are
# installed with apt-get, otherwise through sudo; on a machine without
# dpkg nothing is installed and the list is printed.
set -euo pipefail

quick=(cmake ninja-build g++)
test=(cmake ninja-build g++ binutils file pkg-config help2man bsdutils
      googletest libgtest-dev libbenchmark-dev libboost-math-dev
      g++-mingw-w64-i686 g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix
      g++-mingw-w64-x86-64-posix g++-multilib qemu-user-static
      wine64 clang libclang-rt-14-dev
      r-base-core r-base-dev r-bioc-biobase r-bioc-summarizedexperiment r-bioc-limma
      python3-numpy python3-pandas python3-matplotlib python3-pytest python3-setuptools python3-wheel python3-pip python3-venv)

case ${1:-} in
  quick) wanted=("${quick[@]}") ;;
  test) wanted=("${test[@]}") ;;
  *) echo "usage: $0 quick|test" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null; then
  echo "$0: not a Debian system; install these (or their equivalents) yourself: ${wanted[*]}" >&2
  exit 0
fi
missing=()
for p in "${wanted[@]}"; do
  if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != installed ]; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "== installing ${missing[*]}"
if [ "$(id -u)" = 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  echo "$0: not root and no sudo: install these packages first: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
