#!/usr/bin/env bash
# scripts/mutants.sh on a toy CMake project outside the project's tree, built
# and tested the script's own way: toy.c with its one test, and unbuilt.c,
# which the build does not compile. toy.c has three mutants: one the test
# kills, one it misses (nothing looks at `calls`), one that does not
# compile. Checked: the counts, the survivor's line, unbuilt.c skipped untested, a
# sample of one drawn past the mutant that does not compile, and the files
# byte for byte afterwards, after an interrupt too.
#
# Usage: mutants_test.sh SCRIPT CC
set -euo pipefail
script=$1
# Outside the project's tree, where the run names files as it was given them.
work=$(mktemp -d "${TMPDIR:-/tmp}/palisade-mutants-test.XXXXXX")
run=''
# A run that failed to stop, and its tests, go with the test.
cleanup() {
  [ -z "$run" ] || kill -TERM "$run" 2>/dev/null || true
  [ ! -s "$work/hung" ] || kill -TERM "$(cat "$work/hung")" 2>/dev/null || true
  [ -z "$run" ] || wait "$run" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export TOY=$work
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work"

cat >toy.c <<'EOF'
static int calls;

int twice(int x) {
  calls = calls + 1;
  return x * 2;
}
EOF
echo 'int twice(int x); int main(void) { return twice(3) == 6 ? 0 : 1; }' >toy_test.c
echo 'int unbuilt(int x) { return x * 2; }' >unbuilt.c
cp toy.c toy.orig
cp unbuilt.c unbuilt.orig
cat >toy.rules <<'EOF'
x \* 2 ==> x * 3
calls \+ 1 ==> calls + 2
^int twice ==> int twice(
EOF
cat >CMakeLists.txt <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(toy C)
enable_testing()
add_executable(toy_test toy.c toy_test.c)
add_test(NAME toy COMMAND toy_test)
EOF
cmake -S . -B build -G Ninja "-DCMAKE_C_COMPILER=$2" >configure.log 2>&1 || { cat configure.log; fail "configure"; }
toy=(--rules toy.rules --build-dir build)

expect() {  # expect LOG LINE...: each line is in the log
  local log=$1
  shift
  for line in "$@"; do grep -qxF -- "$line" "$log" || { cat "$log"; fail "no line: $line"; }; done
}
restored() {
  for file in toy unbuilt; do
    cmp -s $file.c $file.orig || fail "$file.c not restored after $1: $(diff $file.orig $file.c)"
  done
}

# Each test run leaves a line in tests.log: toy.c's unmutated, and its two
# mutants'; unbuilt.c's tests are not run at all.
# shellcheck disable=SC2016  # expanded by the bash that runs it
counted='echo >>"$TOY/tests.log" && ctest --test-dir "$MUTANT_BUILD_DIR" --no-tests=error'
bash "$script" "${toy[@]}" --test "$counted" --sample 3 toy.c unbuilt.c >all.log 2>&1 ||
  { cat all.log; fail "the run exited with $?"; }
expect all.log '   skipped: not compiled in this build' \
  '== mutants: 2 tested, 1 killed, 1 survived; 1 did not compile (skipped)' \
  'survived: toy.c:4: - calls = calls + 1; + calls = calls + 2;'
[ "$(wc -l <tests.log)" -eq 3 ] || fail "$(wc -l <tests.log) test runs, not 3"
restored "a run"

# Seed 5 draws the mutant that does not compile first, then the survivor.
bash "$script" "${toy[@]}" --sample 1 --seed 5 toy.c >one.log 2>&1 || { cat one.log; fail "the sampled run exited with $?"; }
expect one.log '== mutants: 1 tested, 0 killed, 1 survived; 1 did not compile (skipped)'
restored "a sampled run"

# A mutant's tests that hang until the run is stopped: the run ends soon,
# the file comes back, and the tests' processes end with the run.
# shellcheck disable=SC2016  # expanded by the bash that runs it
hang='cmp -s "$TOY/toy.c" "$TOY/toy.orig" || { sleep 600 & echo $! >"$TOY/hung"; wait; }'
bash "$script" "${toy[@]}" --test "$hang" --sample 3 toy.c >stopped.log 2>&1 &
run=$!
for _ in $(seq 300); do [ -s hung ] && break; sleep 0.1; done
[ -s hung ] || { cat stopped.log; fail "no mutant's tests started"; }
kill -TERM "$run"
for _ in $(seq 600); do kill -0 "$run" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$run" 2>/dev/null || fail "the run went on after TERM"
status=0
wait "$run" || status=$?
run=''
[ "$status" != 0 ] || fail "a stopped run exited 0"
restored "a stopped run"
# Ended with the run, though reaped a moment later.
for _ in $(seq 100); do kill -0 "$(cat hung)" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$(cat hung)" 2>/dev/null || fail "the hung tests outlived the run"
# Gone: its pid may name another process by now, which the cleanup must spare.
rm hung
echo "counted, sampled, skipped, restored, and stopped"
