#!/usr/bin/env bash
# Builds and checks the R package: stages r/ together with a copy of the
# library's sources (R compiles them with its own toolchain) and of the
# example data (inst/extdata/example.tsv), then runs
# R CMD build and R CMD check --no-manual in a temporary directory.
#
# Usage: bash scripts/r-package.sh [--cli PATH] [--keep DIR]
#   --cli PATH  the command-line front end; the package's tests then check
#               that kestrum() gives its numbers for the same seed
#   --keep DIR  copy the built source package (kestrumr_*.tar.gz) there
# Fails when the check reports an ERROR or a WARNING; NOTEs are listed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli="" keep=""
while [ $# -gt 0 ]; do
  case $1 in
    --cli) cli=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    *) echo "usage: $0 [--cli PATH] [--keep DIR]" >&2; exit 2 ;;
  esac
done

if ! command -v R >/dev/null; then
  echo "$0: R is not installed (Debian: r-base-core r-base-dev)" >&2
  exit 1
fi
stage=$(mktemp -d "${TMPDIR:-/tmp}/kestrumr-r.XXXXXX")
trap 'rm -rf "$stage"' EXIT
pkg="$stage/kestrumr"
cp -r "$root/r" "$pkg"
rm -f "$pkg/src/"*.o "$pkg/src/"*.so "$pkg/src/Makevars" "$pkg/src/Makevars.in"

# The bundled data: a copy of the example data of the repository.
mkdir -p "$pkg/inst/extdata"
cp "$root/examples/example.tsv" "$pkg/inst/extdata/example.tsv"

# The version: the one the library's session header declares.
version=$(sed -n 's/^#define KESTRUMR_VERSION_STRING "\([0-9.]*\)"$/\1/p' "$root/include/kestrumr_session.h")
[ -n "$version" ] || { echo "$0: no version in include/kestrumr_session.h" >&2; exit 1; }
if grep -q '^Version:' "$pkg/DESCRIPTION"; then
  echo "$0: r/DESCRIPTION must not carry a Version field (it is taken from the library)" >&2
  exit 1
fi
awk -v v="$version" '{ print } /^Title:/ { print "Version: " v }' "$root/r/DESCRIPTION" > "$pkg/DESCRIPTION"

# The library's sources: the headers and tables of lib/ and the sources
# that lib/sources.txt lists, as CMake compiles them.
cp -r "$root/include" "$pkg/src/include"
(cd "$root/lib" && find . -name '*.h' -o -name '*.inc') | while read -r f; do
  mkdir -p "$pkg/src/$(dirname "$f")"
  cp "$root/lib/$f" "$pkg/src/$f"
done
objects="kestrumr_r.o"
while read -r f; do
  case $f in ''|'#'*) continue ;; esac
  mkdir -p "$pkg/src/$(dirname "$f")"
  cp "$root/lib/$f" "$pkg/src/$f"
  objects="$objects ${f%.cpp}.o"
done < "$root/lib/sources.txt"

# The floating-point flags of lib/fp-flags.txt go in through r/configure,
# which checks that the compiler takes them.
cp "$root/lib/fp-flags.txt" "$pkg/src/fp-flags.txt"
{
  echo "# Written by scripts/r-package.sh; r/configure makes Makevars of it."
  echo "CXX_STD = CXX17"
  # KESTRUMR_NO_STDIO_DEFAULT: the package installs a message callback on
  # every call, so the library is built without its C stdout message path.
  echo "PKG_CPPFLAGS = -I. -Iinclude -DKESTRUMR_BUILD -DKESTRUMR_NO_STDIO_DEFAULT"
  echo "PKG_CFLAGS = @KESTRUMR_FP_FLAGS@"
  echo "PKG_CXXFLAGS = @KESTRUMR_FP_FLAGS@"
  echo "PKG_LIBS = -pthread"
  echo "OBJECTS = $objects"
} > "$pkg/src/Makevars.in"

cd "$stage"
# The unstaged folder (a copy of r/) must not install: configure stops with
# the one line that says to run this script.
cp -r "$root/r" "$stage/unstaged"
mkdir -p "$stage/unstaged-lib"
if R CMD INSTALL -l "$stage/unstaged-lib" "$stage/unstaged" > "$stage/unstaged.log" 2>&1 ||
   ! grep -q '^kestrumr: .*run `bash scripts/r-package.sh' "$stage/unstaged.log"; then
  cat "$stage/unstaged.log"
  echo "$0: installing the unstaged r/ folder does not stop with the staging hint" >&2
  exit 1
fi
rm -rf "$stage/unstaged" "$stage/unstaged-lib" "$stage/unstaged.log"
# No network: the only package repository is an empty local one.
mkdir -p "$stage/repo/src/contrib"
: > "$stage/repo/src/contrib/PACKAGES"
echo "options(repos = c(CRAN = 'file://$stage/repo'))" > "$stage/Rprofile"
export R_PROFILE_USER="$stage/Rprofile"
R CMD build --no-manual kestrumr
tarball=$(ls kestrumr_*.tar.gz)
status=0
KESTRUM_CLI="$cli" _R_CHECK_FORCE_SUGGESTS_=false R CMD check --no-manual "$tarball" || status=$?
log=kestrumr.Rcheck/00check.log
if grep -q "can be installed ... ERROR" "$log" 2>/dev/null; then tail -40 kestrumr.Rcheck/00install.out; fi
if [ -f kestrumr.Rcheck/tests/kestrum.Rout.fail ]; then cat kestrumr.Rcheck/tests/*.Rout.fail; fi
grep -h '^configure: floating-point flags' kestrumr.Rcheck/00install.out 2>/dev/null || true
grep -h 'equals the command-line' kestrumr.Rcheck/tests/*.Rout 2>/dev/null || true
if [ -n "$keep" ]; then mkdir -p "$keep" && cp "$tarball" "$keep/"; fi
# The library is built without its C stdout message path for R: compiled
# code that still refers to stdout is a failure, not a note.
if grep -Eq "Found [^ ]*stdout" "$log"; then
  sed -n '/checking compiled code/,/^\* /p' "$log"
  echo "R CMD check: the compiled code refers to stdout" >&2
  exit 1
fi
if [ "$status" != 0 ] || grep -Eq '\.\.\. (WARNING|ERROR)$' "$log"; then
  echo "R CMD check: ERROR or WARNING (see above)" >&2
  exit 1
fi
echo "R CMD check: $(grep -c '\.\.\. NOTE$' "$log" || true) NOTE(s), no WARNING, no ERROR"
