#!/usr/bin/env bash
# Every test: the Linux flavour's unit and scenario tests, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Windows builds (i686
# shipped, x86_64 under Wine) with their checks and the Wine suite, and a
# bounded fuzzing run of every file format the installer reads.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}
bash scripts/deps.sh all

step() { printf '\n==== %s ====\n' "$*"; }

# Builds a configured tree; any compiler warning fails the run.
build() {
  if ! cmake --build "$1" -j"$jobs" > "$1.log" 2>&1; then tail -60 "$1.log"; exit 1; fi
  if grep -E 'warning:|error:' "$1.log"; then echo "the build in $1 is not free of warnings"; exit 1; fi
}

step "Windows build (i686, the shipped program)"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake > /dev/null
build build-win32
i686-w64-mingw32-objdump -p build-win32/media/win2000/SETUP.EXE > build-win32/SETUP.imports
grep -q 'file format pei-i386' build-win32/SETUP.imports
grep -q 'Subsystem.*(Windows CUI)' build-win32/SETUP.imports
if grep 'DLL Name' build-win32/SETUP.imports | grep -viE 'kernel32|advapi32|user32|setupapi|newdev|hid|msvcrt'; then
  echo "SETUP.EXE imports a DLL that is not a Windows system DLL"; exit 1
fi

step "Linux build, unit, scenario and Wine tests"
cmake -S . -B build > /dev/null
build build
(cd build && ctest --output-on-failure -j"$jobs" -LE i686)

# The shipped i686 SETUP.EXE under 32-bit Wine through qemu-user: a stage of
# its own with a time budget of its own (tests/wine/qemu.py, docs/wine.md).
step "i686 stage: the shipped SETUP.EXE under 32-bit Wine through qemu-user"
i686_start=$SECONDS
i686_report=build/tests/wine/work/i686-stage.log
rm -f "$i686_report"
i686_rc=0
(cd build && ctest --output-on-failure -L i686) > build/i686-stage.ctest.log 2>&1 || i686_rc=$?
cat "$i686_report" 2> /dev/null || true
if [ $i686_rc -ne 0 ]; then cat build/i686-stage.ctest.log; exit 1; fi
grep -Eq '^i686 stage(: passed|:? skipped)' "$i686_report" || { cat build/i686-stage.ctest.log; exit 1; }
echo "i686 stage took $((SECONDS - i686_start)) s"

step "Sanitizers (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DSETUP_SANITIZE=ON > /dev/null
build build-asan
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs" -E 'Wine')

step "Fuzzing, ${fuzz_seconds} s per target"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DSETUP_FUZZ=ON > /dev/null
build build-fuzz
for target in build-fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  echo "fuzzing $(basename "$target")"
  corpus=$(mktemp -d)
  "$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 "$corpus" > "$corpus.log" 2>&1 || { tail -40 "$corpus.log"; exit 1; }
  rm -rf "$corpus" "$corpus.log"
done

step "All tests passed"
