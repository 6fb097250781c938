#!/usr/bin/env bash
# Every test: the Linux flavour's unit and scenario tests, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Windows builds (i686
# shipped, x86_64 under Wine) with their checks and the Wine suite, and a
# bounded fuzzing run of every file format the installer reads.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}
# Line tables only: what sanitizer reports and backtraces read, at a
# fraction of the compile time of full debug information (every build of the
# run, the Wine suite's too, takes it from here).
export SETUP_DEBUG_INFO=-g1

# Each stage says how long it took.
stage_start=$SECONDS
step() {
  [ -z "${stage_name:-}" ] || printf '(%s: %d s)\n' "$stage_name" $((SECONDS - stage_start))
  stage_name="$*" stage_start=$SECONDS
  printf '\n==== %s ====\n' "$*"
}

step "Dependencies"
bash scripts/deps.sh all
# Build folders made from here on (the Wine suite's too) use Ninja, which
# compiles a target's files while the libraries it links are still being
# built; an existing folder keeps its generator.
export CMAKE_GENERATOR=Ninja

# Builds a configured tree (or the targets named after it); any compiler
# warning fails the run.
build() {
  local dir=$1 targets=()
  shift
  [ $# -eq 0 ] || targets=(--target "$@")
  if ! cmake --build "$dir" -j"$jobs" "${targets[@]}" > "$dir.log" 2>&1; then tail -60 "$dir.log"; exit 1; fi
  if grep -E 'warning:|error:' "$dir.log"; then echo "the build in $dir is not free of warnings"; exit 1; fi
}

step "Windows builds (i686, the shipped program; x86_64, which the Wine suite runs)"
# Configured as the Wine suite configures its i686 build, which it then finds
# up to date instead of building it again.
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" -DCMAKE_C_FLAGS=-Werror \
  -DCMAKE_CXX_FLAGS=-Werror -DSETUP_TESTS=OFF > /dev/null
build build-win32
i686-w64-mingw32-objdump -p build-win32/media/win2000/SETUP.EXE > build-win32/SETUP.imports
grep -q 'file format pei-i386' build-win32/SETUP.imports
grep -q 'Subsystem.*(Windows CUI)' build-win32/SETUP.imports
if grep 'DLL Name' build-win32/SETUP.imports | grep -viE 'kernel32|advapi32|user32|setupapi|newdev|hid|msvcrt'; then
  echo "SETUP.EXE imports a DLL that is not a Windows system DLL"; exit 1
fi

# The x86_64 build that the Wine suite runs, made as the suite makes it
# (its CTest test then finds it up to date): a build, not a test.
x86_64_dir=$PWD/build/tests/wine/x86_64
if ! python3 tests/wine/suite.py --dir "$x86_64_dir" --flavour x86_64 build > /dev/null; then
  tail -60 "$x86_64_dir.log"; exit 1
fi

step "Linux build, unit, scenario and Wine tests"
cmake -S . -B build -DSETUP_WINE_TESTS=ON -DWINE_I686_BUILD_DIR="$PWD/build-win32" > /dev/null
build build
# The sanitizers' and the fuzzing builds at the lowest priority, beside the
# tests: they take the processor time that the tests leave while they wait
# on Wine's processes, and the tests' own time limits keep their margin.
# Each build leaves its exit code beside its tree when it ends: the
# sanitizers' tests start as soon as theirs is built, while the fuzzing
# build goes on.
rm -f build-asan.rc build-fuzz.rc
(renice -n 19 -p "$BASHPID" > /dev/null
 cmake -S . -B build-asan -DSETUP_SANITIZE=ON -DSETUP_BENCHMARKS=OFF > /dev/null &&
 CC=clang CXX=clang++ cmake -S . -B build-fuzz -DSETUP_FUZZ=ON > /dev/null &&
 (build build-asan) > build-asan.early.log 2>&1
 echo $? > build-asan.rc
 [ "$(cat build-asan.rc)" -eq 0 ] && (build build-fuzz fuzz_targets) > build-fuzz.early.log 2>&1
 echo $? > build-fuzz.rc) > /dev/null 2>&1 < /dev/null &
early_builds=$!
# The processes of a tree, each after its parent.
descendants() {
  local child
  for child in $(pgrep -P "$1" 2> /dev/null); do echo "$child"; descendants "$child"; done
}
# A stage that fails ends the builds too.
trap 'kill $(descendants "$early_builds") "$early_builds" > /dev/null 2>&1 || true' EXIT
# One test more than there are cores: the Wine scenarios wait on Wine's
# processes part of the time, and the next test fills that.
(cd build && ctest --output-on-failure -j"$((jobs + 1))" -LE i686)

# The shipped i686 SETUP.EXE under 32-bit Wine through qemu-user: a stage of
# its own with a time budget of its own (tests/wine/i686/, docs/wine.md).
# It keeps one core busy, in one Wine session at a time: it runs beside the
# sanitizer and fuzzing stages, which have the build tree of their own, and
# its report follows theirs.
step "i686 stage: the shipped SETUP.EXE under 32-bit Wine through qemu-user (in the background)"
i686_start=$(date +%s)
i686_report=build/tests/wine/work/i686-stage.log
rm -f "$i686_report"
rm -f build/i686-stage.rc build/i686-stage.end
(cd build && ctest --output-on-failure -L i686 > i686-stage.ctest.log 2>&1; echo $? > i686-stage.rc
 date +%s > i686-stage.end) > /dev/null 2>&1 &
i686_pid=$!
echo "started"

step "Sanitizers (AddressSanitizer, UndefinedBehaviorSanitizer)"
# The builds started beside the tests go on at the usual priority.
# (Only root may lower a priority: elsewhere they go on as they are.)
renice -n 0 -p "$early_builds" $(descendants "$early_builds") > /dev/null 2>&1 || true
while [ ! -s build-asan.rc ] && kill -0 "$early_builds" 2> /dev/null; do sleep 2; done
if [ "$(cat build-asan.rc 2> /dev/null || echo 1)" -ne 0 ]; then cat build-asan.early.log; exit 1; fi
# Not the Wine suite, nor the layering check (it compiles headers, the same
# under any flags). One test more than there are cores: the fleet's hung
# rehearsal sleeps out its time limit.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$((jobs + 1))" -E '^(Wine|Layers)\.')

step "Fuzzing, ${fuzz_seconds} s per target"
wait "$early_builds" || true
if [ "$(cat build-fuzz.rc 2> /dev/null || echo 1)" -ne 0 ]; then cat build-fuzz.early.log; exit 1; fi
# The targets run side by side, as many at a time as there are cores, each
# for the whole time on a core of its own.
fuzzing=() fuzz_failed=0
wait_fuzzing() {
  local run corpus
  for run in "${fuzzing[@]}"; do
    corpus=${run#*:}
    wait "${run%%:*}" || { tail -40 "$corpus.log"; fuzz_failed=1; }
    rm -rf "$corpus" "$corpus.log"
  done
  fuzzing=()
}
for target in build-fuzz/tests/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  [ ${#fuzzing[@]} -lt "$jobs" ] || wait_fuzzing
  echo "fuzzing $(basename "$target")"
  corpus=$(mktemp -d)
  "$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 "$corpus" > "$corpus.log" 2>&1 &
  fuzzing+=("$!:$corpus")
done
wait_fuzzing
[ "$fuzz_failed" -eq 0 ] || exit 1

step "i686 stage: its report"
wait "$i686_pid" || true
i686_rc=$(cat build/i686-stage.rc 2> /dev/null || echo 1)
cat "$i686_report" 2> /dev/null || true
if [ "$i686_rc" -ne 0 ]; then cat build/i686-stage.ctest.log; exit 1; fi
grep -Eq '^i686 stage(: passed|:? skipped)' "$i686_report" || { cat build/i686-stage.ctest.log; exit 1; }
echo "i686 stage took $(($(cat build/i686-stage.end) - i686_start)) s, beside the sanitizer and fuzzing stages"

step "All tests passed"
echo "(whole run: $SECONDS s)"
