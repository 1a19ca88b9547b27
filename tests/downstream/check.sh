#!/usr/bin/env bash
# Installs a built tree into a prefix in a temporary directory and uses it
# as a downstream project would: the installed layout (headers, the
# versioned shared library and its SONAME, the front end, the CMake package,
# the pkg-config file, the licence), a C program built once through
# find_package and once through pkg-config, and the source tree included
# with add_subdirectory (only the library is built then).
# Usage: check.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"

cmake --install "$build" --prefix "$prefix" > /dev/null
libdir=$(dirname "$(find "$prefix" -name 'libkestrumr.so.0' | head -1)")
for f in include/kestrumr.h include/kestrumr_session.h include/kestrumr_analysis.h bin/kestrum share/doc/kestrumr/LICENSE \
         share/doc/kestrumr/CHANGELOG.md; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
for f in libkestrumr.so libkestrumr.so.0 pkgconfig/kestrumr.pc cmake/kestrumr/kestrumrConfig.cmake \
         cmake/kestrumr/kestrumrConfigVersion.cmake; do
  [ -e "$libdir/$f" ] || { echo "not installed: lib/$f"; exit 1; }
done
soname=$(objdump -p "$libdir/libkestrumr.so" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libkestrumr.so.0 ] || { echo "SONAME is '$soname'"; exit 1; }
"$prefix/bin/kestrum" --help > /dev/null
echo "installed: $(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')"

echo "-- find_package"
cmake -S "$here" -B "$tmp/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$tmp/with-cmake" > /dev/null
"$tmp/with-cmake/downstream"

echo "-- pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion kestrumr)" = "$(sed -n 's/^#define KESTRUMR_VERSION_STRING "\(.*\)"/\1/p' "$prefix/include/kestrumr_session.h")" ]
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags kestrumr) "$here/main.c" \
   -o "$tmp/with-pkg-config" $(pkg-config --libs kestrumr)
LD_LIBRARY_PATH="$libdir" "$tmp/with-pkg-config"

echo "-- add_subdirectory"
cmake -S "$here" -B "$tmp/with-source" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DKESTRUMR_SOURCE_DIR="$source" > /dev/null
cmake --build "$tmp/with-source" > /dev/null
"$tmp/with-source/downstream"
