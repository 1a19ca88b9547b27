#!/usr/bin/env bash
# Installs the test prerequisites (scripts/install-packages.sh test: the
# Debian packages that are missing, none when all are there), then builds
# everything and runs every test:
#   1. the 32-bit Windows DLL (cross-built with mingw-w64) and the Windows
#      host programs, and the same for 64-bit Windows; the DLLs' PE
#      structure is checked as part of step 6;
#   2. the Linux shared library and the whole test suite, warnings as
#      errors (built here, run last);
#   3. the 32-bit Linux build (gcc -m32, SSE2) of the test suite and the
#      host session, run under qemu-i386-static: the tests must pass and
#      the session must print exactly what the 64-bit Linux build prints
#      (on a difference, the responsible calls into the platform's
#      mathematical functions are found and listed, see explain_session);
#   4. when wine64 is installed: the 64-bit Windows host programs run
#      under wine64; the session is compared with the 64-bit Linux one and
#      the clock seeding is checked; kestrum.exe runs the README's commands
#      and must print what the Linux kestrum prints; the tests of the
#      portable mathematical functions and of the front end run as Windows
#      programs;
#   5. the R package (scripts/r-package.sh: R CMD build, R CMD check
#      --no-manual) and the Python package (scripts/python-package.sh: pip
#      install into a temporary venv, pytest), both checked against the
#      command-line front end for one seed;
#   6. the test suite again, built with AddressSanitizer and UBSan, and the
#      driver's tests (threads included) built with ThreadSanitizer;
#   7. the fuzz harnesses (clang, libFuzzer; those of the session, of the
#      whole analysis and of the front end's reader and options included)
#      built and run on their seed corpora for a fixed number of inputs
#      each (a smoke run);
#   8. the Linux test suite (its summary is the last thing printed); it
#      includes the downstream check (tests/downstream/check.sh): the build
#      installed into a temporary prefix and used by a small C program
#      through find_package, through pkg-config and with add_subdirectory.
# Usage: bash scripts/run-tests.sh   (from anywhere; builds under ./build*)
# KESTRUMR_I386_QUICK=1 leaves the statistical tests out of the qemu run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-packages.sh test
jobs=$(nproc 2>/dev/null || echo 2)
sessions="$root/build-sessions"
mkdir -p "$sessions"

# Compares a session output with the 64-bit Linux one (line ends of a
# Windows console stripped).  Every build must print the same bits: a
# difference fails the run, after explain_session has found out whether the
# platform's mathematical functions are the cause (the library should call
# none of them but the exact sqrt and fmod).
#   compare_session NAME RAW-OUTPUT MATHCHECK-COMMAND...
compare_session() {
  local name=$1 file=$2
  shift 2
  tr -d '\r' < "$file" > "$sessions/$name.txt"
  if cmp -s "$sessions/linux64.txt" "$sessions/$name.txt"; then
    echo "session $name: identical to linux64 ($(wc -l < "$sessions/linux64.txt") lines)"
    return 0
  fi
  echo "session $name: differs from linux64 in $(diff "$sessions/linux64.txt" "$sessions/$name.txt" | grep -c '^<') lines:"
  diff "$sessions/linux64.txt" "$sessions/$name.txt" | head -20 || true
  explain_session "$name" "$@" || true
  return 1
}

# Which function, on which arguments: the Linux session runs again with
# every call of exp, log, pow, sin, cos, tan, sincos, sqrt, fmod recorded;
# the other platform evaluates its own functions on those arguments; the
# calls whose results differ are listed.  Then the Linux session runs once
# more with the other platform's results substituted for those calls: if
# it prints exactly the other platform's session, the functions listed are
# the whole cause.
explain_session() {
  local name=$1
  shift
  local trace="$sessions/$name.calls" own="$sessions/linux64.math" theirs="$sessions/$name.math"
  rm -f "$trace.raw"
  KESTRUMR_MATH_TRACE="$trace.raw" LD_PRELOAD="$root/build/tests/hosts/libkestrumr_mathtrace.so" \
    build/tests/hosts/kestrumr_session > /dev/null
  sort -u "$trace.raw" > "$trace"
  build/tests/hosts/kestrumr_mathcheck < "$trace" > "$own"
  "$@" < "$trace" | tr -d '\r' > "$theirs"
  echo "  $(wc -l < "$trace") distinct calls; results that differ ($name vs linux64):"
  # (for sincos both results are shown, sine/cosine)
  diff "$own" "$theirs" | awk -v p="$name" '/^</ {l[++n] = $0} /^>/ {++m; split(l[m], a, " ")
    if ($2 == "sincos") printf "    sincos(%s): linux64 %s/%s, %s %s/%s\n", $3, a[5], a[6], p, $5, $6
    else if ($2 == "pow" || $2 == "fmod") printf "    %s(%s, %s): linux64 %s, %s %s\n", $2, $3, $4, a[5], p, $5
    else printf "    %s(%s): linux64 %s, %s %s\n", $2, $3, a[5], p, $5}' | head -40 || true
  echo "  calls with a different result, by function:" \
       "$( (diff "$own" "$theirs" || true) | awk '/^</ {c[$2]++; n++} END {for (f in c) printf "%s %d, ", f, c[f]; printf "%d in all", n}')"
  KESTRUMR_MATH_REPLAY="$theirs" LD_PRELOAD="$root/build/tests/hosts/libkestrumr_mathtrace.so" \
    build/tests/hosts/kestrumr_session > "$sessions/$name.replayed"
  if cmp -s "$sessions/$name.replayed" "$sessions/$name.txt"; then
    echo "  with $name's results for these calls the Linux build prints $name's session exactly:"
    echo "  the difference is the platform's mathematical library, nothing else."
    return 0
  fi
  echo "  substituting $name's function results does NOT reproduce its session: unexplained difference"
  return 1
}

# How often the platform's functions differ from the 64-bit Linux C
# library's at all: a fixed list of calls over the ranges the library uses
# (kestrumr_mathcheck --survey), evaluated on both.  For information only.
#   survey NAME MATHCHECK-COMMAND...
survey() {
  local name=$1
  shift
  if [ ! -s "$sessions/survey.in" ]; then
    build/tests/hosts/kestrumr_mathcheck --survey 4000 > "$sessions/survey.in"
    build/tests/hosts/kestrumr_mathcheck < "$sessions/survey.in" > "$sessions/survey.linux64"
  fi
  "$@" < "$sessions/survey.in" | tr -d '\r' > "$sessions/survey.$name"
  paste -d' ' "$sessions/survey.linux64" "$sessions/survey.$name" | awk -v p="$name" '
    { t[$1]++; if ($4 != $9 || $5 != $10) d[$1]++ }
    END { printf "libm survey, %s vs linux64 (calls whose result differs):", p
          split("exp log pow sin cos sincos tan", f, " ")
          for (i = 1; i <= 7; ++i) printf " %s %d/%d", f[i], d[f[i]] + 0, t[f[i]]
          printf "\n" }'
}

# What the Windows builds need here: the DLL, the host programs and the
# command-line front end.
win_targets="kestrumr kestrumr_session kestrumr_clock_check kestrumr_mathcheck kestrum"

echo "== 32-bit Windows DLL and host programs"
cmake -S . -B build-win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
      -DKESTRUMR_TESTS=OFF -DKESTRUMR_WERROR=ON >/dev/null
cmake --build build-win32 -j "$jobs" --target $win_targets

dll64=()
if command -v x86_64-w64-mingw32-gcc >/dev/null; then
  echo "== 64-bit Windows DLL and host programs"
  cmake -S . -B build-win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
        -DKESTRUMR_TESTS=OFF -DKESTRUMR_WERROR=ON >/dev/null
  cmake --build build-win64 -j "$jobs" --target $win_targets
  dll64=(-DKESTRUMR_DLL64="$root/build-win64/kestrumr.dll")
fi

echo "== Linux build"
# The benchmarks are built (never run) so that they keep compiling.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUMR_WERROR=ON \
      -DKESTRUMR_TESTS=ON -DKESTRUMR_TOOLS=ON -DKESTRUMR_BENCH=ON -DKESTRUMR_DLL="$root/build-win32/kestrumr.dll" "${dll64[@]}" >/dev/null
cmake --build build -j "$jobs"
build/tests/hosts/kestrumr_session > "$sessions/linux64.txt"
# Calls the session still makes into the C library's mathematical functions
# (sqrt and fmod are exact in IEEE arithmetic; the others may differ
# between platforms).
rm -f "$sessions/linux64.calls.raw"
KESTRUMR_MATH_TRACE="$sessions/linux64.calls.raw" LD_PRELOAD="$root/build/tests/hosts/libkestrumr_mathtrace.so" \
  build/tests/hosts/kestrumr_session > /dev/null
echo "session's calls into the C library's mathematical functions:" \
     "$(awk '{c[$1]++} END {for (f in c) printf "%s %d, ", f, c[f]; printf "%d in all", NR}' \
        "$sessions/linux64.calls.raw" 2>/dev/null || echo none)"

echo "== 32-bit Linux build under qemu-i386-static"
cmake -S . -B build-i386 -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUMR_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake >/dev/null
cmake --build build-i386 -j "$jobs"
# All tests, the statistical ones included (about a minute under qemu);
# KESTRUMR_I386_QUICK=1 leaves those out.
i386_labels=()
if [ "${KESTRUMR_I386_QUICK:-0}" = 1 ]; then i386_labels=(-LE statistical); fi
ctest --test-dir build-i386 --output-on-failure -j "$jobs" "${i386_labels[@]}"
qemu-i386-static build-i386/tests/hosts/kestrumr_session > "$sessions/linux32.raw"
compare_session linux32 "$sessions/linux32.raw" qemu-i386-static build-i386/tests/hosts/kestrumr_mathcheck
survey linux32 qemu-i386-static build-i386/tests/hosts/kestrumr_mathcheck

wine=/usr/lib/wine/wine64
wine_ok=0
if [ -x "$wine" ] && [ ${#dll64[@]} -gt 0 ]; then
  # A prefix of our own (created on first use, which takes a while).
  export WINEPREFIX="$root/build-win64/wineprefix" WINEDEBUG=-all \
         WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  # wine itself must start (a broken wine installation is reported, not
  # taken for a failure of the library).
  if timeout 900 "$wine" cmd /c echo wine-ok 2>/dev/null | tr -d '\r' | grep -qx wine-ok; then
    wine_ok=1
  else
    echo "== wine64 is installed but does not start: 64-bit Windows run left out"
  fi
fi
# Runs a Windows program under wine64 with its standard output (line ends
# of a Windows console stripped) in OUT.  When wine's client loses its
# connection to wine's own server ("wine client error"), the program may
# not have run or finished: that is wine failing, not the program, so it
# gets up to two more tries.  Any other failure fails at once.
#   wine_run OUT PROGRAM ARGS...
wine_run() {
  local out=$1 try rc=0
  shift
  for try in 1 2 3; do
    rc=0
    "$wine" "$@" 2> "$sessions/wine.err" | tr -d '\r' > "$out" || rc=$?
    tr -d '\r' < "$sessions/wine.err" >&2
    if [ "$rc" = 0 ] || ! grep -q "wine client error" "$sessions/wine.err"; then
      return "$rc"
    fi
    echo "== wine's client lost its server (try $try of 3)" >&2
  done
  return "$rc"
}
if [ "$wine_ok" = 1 ]; then
  # One wine server for the whole Windows run: without it each program
  # starts a server that stops a few seconds after the program ends, and a
  # program starting while it stops can lose its connection to it.
  wineserver=""
  for c in "$(dirname "$wine")/wineserver64" "$(dirname "$wine")/wineserver" wineserver; do
    if command -v "$c" >/dev/null; then wineserver=$c; break; fi
  done
  if [ -n "$wineserver" ]; then
    # (its output to a file of its own, so that it holds no pipe of ours
    # open; stopped when the run ends, however it ends)
    "$wineserver" -p > "$sessions/wineserver.log" 2>&1 || true
    trap '"$wineserver" -k > /dev/null 2>&1 || true' EXIT
  fi
  echo "== 64-bit Windows host programs under wine64"
  (cd build-win64 && wine_run "$sessions/win64.raw" ./kestrumr_session.exe)
  compare_session win64 "$sessions/win64.raw" "$wine" build-win64/kestrumr_mathcheck.exe
  survey win64 "$wine" build-win64/kestrumr_mathcheck.exe
  (cd build-win64 && "$wine" ./kestrumr_clock_check.exe 2>&1 | tr -d '\r')
  # kestrum.exe: the README's Windows commands, to standard output and to a
  # file that exists already, give exactly the Linux program's results.
  echo "== kestrum.exe under wine64"
  kdir="$sessions/kestrum-win64"
  rm -rf "$kdir" && mkdir -p "$kdir"
  build/cli/kestrum --groups 4,4,4 examples/example.tsv > "$kdir/linux.tsv"
  wine_run "$sessions/kestrum-version" build-win64/cli/kestrum.exe --version
  grep -qx "kestrum [0-9.]*" "$sessions/kestrum-version"
  wine_run "$kdir/stdout.tsv" build-win64/cli/kestrum.exe --groups 4,4,4 'examples\example.tsv'
  echo "previous results" > "$kdir/out.tsv"
  wine_run "$sessions/kestrum-o.stdout" build-win64/cli/kestrum.exe --groups 4,4,4 -o "$kdir/out.tsv" \
    examples/example.tsv
  cmp "$kdir/linux.tsv" "$kdir/stdout.tsv"
  cmp "$kdir/linux.tsv" "$kdir/out.tsv"
  [ "$(ls "$kdir" | wc -l)" = 3 ]  # no temporary file left beside out.tsv
  echo "kestrum.exe: $(wc -l < "$kdir/out.tsv") lines, identical to the Linux kestrum"
  # The portable mathematical functions give the same bits on Windows: the
  # tests of common/ built for 64-bit Windows and run under wine64.  The
  # sin/cos/tan accuracy tests are left out there: their long double
  # reference is mingw-w64's x87 sinl/cosl/tanl, whose argument reduction
  # is far off near multiples of pi/2 and for large arguments.  The front
  # end's tests run there too (those that start the program through a
  # POSIX shell are Linux-only).
  echo "== portable mathematical functions and the front end's tests under wine64"
  cmake -S . -B build-win64-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32-wine-tests.cmake \
        -DKESTRUMR_TOOLS=ON -DKESTRUMR_WERROR=ON >/dev/null
  cmake --build build-win64-tests -j "$jobs" --target test_common test_cli
  # A test whose wine client loses its connection to wine's own server
  # ("wine client error: ... recvmsg") fails without having run: every test
  # gets a second try, and one that fails twice fails the run.
  ctest --test-dir build-win64-tests --output-on-failure -j "$jobs" --repeat until-pass:2 \
        -R '^(common|cli)[.]' -E 'PortableMath[.](SinCos|Tan)Accuracy'
  if [ -n "$wineserver" ]; then "$wineserver" -k > /dev/null 2>&1 || true; trap - EXIT; fi
elif [ ! -x "$wine" ]; then
  echo "== wine64 not installed: 64-bit Windows run left out"
fi

echo "== R package (R CMD build, R CMD check --no-manual)"
bash scripts/r-package.sh --cli build/cli/kestrum

echo "== Python package (pip install into a venv, pytest)"
bash scripts/python-package.sh --cli build/cli/kestrum

echo "== sanitizers (AddressSanitizer + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DKESTRUMR_SANITIZE=ON -DKESTRUMR_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE statistical

echo "== ThreadSanitizer (the rows shared among threads)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKESTRUMR_TSAN=ON -DKESTRUMR_WERROR=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target test_driver test_session
TSAN_OPTIONS="halt_on_error=1 allocator_may_return_null=1" ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R '^(driver|session)[.]'

echo "== fuzzing smoke run (libFuzzer harnesses of fuzz/, fixed input counts)"
if command -v clang++ >/dev/null && command -v clang >/dev/null; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRUMR_FUZZ=ON -DKESTRUMR_TESTS=OFF -DKESTRUMR_TOOLS=OFF -DKESTRUMR_WERROR=ON >/dev/null
  cmake --build build-fuzz -j "$jobs"
  fuzz_passed=0
  fuzz_failed=0
  for src in fuzz/*_fuzz.cpp; do
    h=$(basename "$src" _fuzz.cpp)
    # A few seconds each: fewer inputs for the harnesses that run the
    # sampler (the session, the whole analysis, the whole front end).
    runs=20000
    case "$h" in kestrum | options) runs=4000 ;; session) runs=6000 ;; analysis) runs=2000 ;; esac
    # New inputs and any crash file go to a temporary directory; the seed
    # corpus in the repository is only read.
    work=$(mktemp -d)
    if build-fuzz/fuzz/fuzz_"$h" -runs="$runs" -seed=1 -timeout=10 -print_final_stats=0 \
         -artifact_prefix="$work/" "$work" "fuzz/corpus/$h" >"$work/log" 2>&1; then
      echo "fuzz_$h: $runs inputs, no failure"
      fuzz_passed=$((fuzz_passed + 1))
    else
      echo "fuzz_$h: FAILED"
      tail -n 40 "$work/log"
      fuzz_failed=$((fuzz_failed + 1))
    fi
    rm -rf "$work"
  done
  echo "fuzz: $fuzz_passed passed, $fuzz_failed failed"
  [ "$fuzz_failed" = 0 ] || exit 1
elif [ -n "${CI:-}" ]; then
  echo "clang/clang++ not found: CI must run the fuzz smoke run (.ci/run installs clang and libclang-rt-14-dev)"
  exit 1
else
  echo "clang/clang++ not found: fuzz smoke run skipped (apt-get install clang libclang-rt-14-dev)"
fi

echo "== Linux test suite"
ctest --test-dir build --output-on-failure -j "$jobs"
