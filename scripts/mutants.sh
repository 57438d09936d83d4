#!/usr/bin/env bash
# A mutation run: small faults (mutants, from universalmutator) put into the
# given sources one at a time, each built and tested; a mutant the tests
# still pass is a survivor, a fault no test would catch. It informs: it
# exits 0 whatever it finds (2 on a usage error, 1 when a tool is missing).
#
# Usage: scripts/mutants.sh [options] [FILE...]
#   --since REV    also the C, C++ and Objective-C++ sources changed since REV
#                  (committed or not), tests, fuzzers and benchmarks left out
#   --sample N     mutants tested per file (default 15): a seeded random draw;
#                  one that does not compile is skipped and the next drawn
#   --seed S       the draw's seed (default 1)
#   --lines L,...  only mutants of these lines
#   --rules FILE   universalmutator rules to use instead of its own
#   --timeout S    seconds each mutant's tests may take (default 900); a run
#                  that times out counts as killed, and says so
#   --build-dir D  the build to use (default build-mutants, configured once)
#   --build CMD    build command (bash; default: cmake --build of that build)
#   --test CMD     test command (bash; $MUTANT_TESTS holds the file's ctest
#                  pattern, empty for the whole suite; default: ctest -R it)
# Each file is put back byte for byte after each mutant, on an interrupt
# too; a file whose own tests fail unmutated is skipped, and so is one the
# build does not compile.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

help() { awk '/^# Usage/ { p = 1 } !/^#/ { p = 0 } p { sub(/^# ?/, ""); print }' "$0"; }
usage() { help >&2; exit 2; }

# The tests that exercise each part of the tree, as ctest -R patterns: the
# first matching path wins; a file under none gets the whole suite.
tests_for() {
  local process='Helper|Hold[A-Za-z]*|HungParent|Icon'  # tests/*_process_test.cc
  case $1 in
    client/helper_search.cc) echo '^(Open|HelperSearch)\.' ;;
    client/*) echo '^(Open|Clock|LostHold|KeepAlive|Write|Restart|Close|Words|Hold)\.' ;;
    command/*) echo "^(LineReader|$process)\\." ;;
    hold/*) echo "^(TickTest|EndHoldTest|$process)\\." ;;
    windowserver/*) echo "^(Binder|FrontProcessTest|TopWindow|$process)\\." ;;
    sim/*) echo "^(SimWindowServer|SimControl|$process)\\.|^palisade_demo\$" ;;
    platform/macos/window_list.cc) echo '^WindowList\.' ;;
    platform/linux/* | app/*) echo "^($process)\\." ;;
    demo/*) echo '^palisade_demo$' ;;
    tools/doctor/dock_sight.cc) echo '^DockSight\.' ;;
    *) echo '' ;;
  esac
}

since='' sample=15 seed=1 lines='' rules='' limit=900 build_cmd='' test_cmd=''
build_dir=$root/build-mutants
files=()
while [ $# -gt 0 ]; do
  option=$1 value=''
  shift
  case $option in
    --since | --sample | --seed | --lines | --rules | --timeout | --build-dir | --build | --test)
      [ $# -gt 0 ] || usage
      value=$1
      shift ;;
  esac
  case $option in
    --since) since=$value ;;
    --sample) sample=$value ;;
    --seed) seed=$value ;;
    --lines) lines=$value ;;
    --rules) rules=$value ;;
    --timeout) limit=$value ;;
    --build-dir) build_dir=$(mkdir -p "$value" && cd "$value" && pwd) || exit 2 ;;
    --build) build_cmd=$value ;;
    --test) test_cmd=$value ;;
    -h | --help) help; exit 0 ;;
    -*) echo "Unknown option: $option" >&2; usage ;;
    *) files+=("$option") ;;
  esac
done
for number in "$sample" "$seed" "$limit"; do
  case $number in '' | *[!0-9]*) echo "Not a number: $number" >&2; usage ;; esac
done
case $lines in *[!0-9,]*) echo "Not a list of lines: $lines" >&2; usage ;; esac
if [ -n "$since" ]; then
  git -C "$root" rev-parse --verify --quiet "$since^{commit}" >/dev/null ||
    { echo "Not a commit: $since" >&2; exit 2; }
  while IFS= read -r path; do files+=("$root/$path"); done < <(
    git -C "$root" diff --name-only --diff-filter=d "$since" -- '*.c' '*.cc' '*.cpp' '*.mm' \
      ':!*_test.*' ':!tests/' ':!fuzz/' ':!bench/')
  [ ${#files[@]} -gt 0 ] || { echo "No sources changed since $since."; exit 0; }
elif [ ${#files[@]} -eq 0 ]; then
  usage
fi
for file in "${files[@]}" ${rules:+"$rules"}; do
  [ -f "$file" ] || { echo "No such file: $file" >&2; exit 2; }
done
[ -z "$rules" ] || rules=$(cd "$(dirname "$rules")" && pwd)/$(basename "$rules")

# The run needs what the suite needs, universalmutator among it.
PALISADE_SETUP_TESTS=1
. "$root/scripts/setup.sh"
timeout_tool=$(command -v timeout || command -v gtimeout) || {
  echo "Missing: timeout (GNU coreutils). Install it, then run this again:" >&2
  echo "    brew install coreutils" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/palisade-mutants.XXXXXX")
log=$work/log
current='' child=''
# Puts the file being mutated back as it was; harmless when it already is.
restore() {
  if [ -n "$current" ]; then cp "$work/original" "$current" && current=''; fi
}
# shellcheck disable=SC2317  # called from the traps below
stop() {
  if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null; wait "$child"; fi
  restore
  rm -rf "$work"
  exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM
trap 'stop 129' HUP
trap 'restore; rm -rf "$work"' EXIT

# Runs a bash command line under timeout(1), which gives it a process group
# of its own: a hung test is stopped whole, and so is everything on an
# interrupt. In the background, so that a signal's trap runs at once.
run() {
  local status=0
  "$timeout_tool" -k 10 "$1" bash -c "$2" </dev/null >"$log" 2>&1 &
  child=$!
  wait "$child" || status=$?
  child=''
  return "$status"
}

export MUTANT_BUILD_DIR=$build_dir MUTANT_TESTS
default_build=false
if [ -z "$build_cmd" ]; then
  default_build=true
  # shellcheck disable=SC2016  # expanded by the bash that runs it
  build_cmd='cmake --build "$MUTANT_BUILD_DIR"'
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    echo "== configuring $build_dir"
    cmake -S "$root" -B "$build_dir" -G Ninja -DPALISADE_SANITIZE=OFF >"$log" 2>&1 ||
      { cat "$log"; echo "Could not configure $build_dir" >&2; exit 1; }
  fi
fi
if [ -z "$test_cmd" ]; then
  # shellcheck disable=SC2016  # expanded by the bash that runs it
  test_cmd='ctest --test-dir "$MUTANT_BUILD_DIR" --no-tests=error --stop-on-failure --parallel 2 ${MUTANT_TESTS:+-R "$MUTANT_TESTS"}'
fi
mutate_args=(--noCheck --mutantDir "$work/mutants/")
[ -n "$rules" ] && mutate_args+=(--only "$rules")
if [ -n "$lines" ]; then
  tr ',' '\n' <<<"$lines" >"$work/lines"
  mutate_args+=(--lines "$work/lines")
fi
# Comment and #include lines give only mutants that change nothing or
# do not compile.
printf '%s\n' '^\s*//' '^\s*#\s*include' >"$work/ignore"
mutate_args+=(--ignore "$work/ignore")

# file:line: - old + new, for a mutant that replaced one line of the
# original with one or more.
describe() {
  awk -v name="$3" '
    function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
    NR == FNR { old[FNR] = $0; n = FNR; next }
    { new[FNR] = $0; m = FNR }
    END {
      for (i = 1; i <= n && old[i] == new[i]; i++) {}
      text = trim(new[i])
      for (j = i + 1; j <= i + m - n; j++) text = text " " trim(new[j])
      printf "%s:%d: - %s + %s\n", name, i, trim(old[i]), text
    }' "$1" "$2"
}

# Prints the distinct mutants in folder $2 in an order drawn with seed $1.
shuffle='
import os, random, sys
seen, mutants = set(), []
for entry in sorted(os.listdir(sys.argv[2])):
    path = os.path.join(sys.argv[2], entry)
    with open(path, "rb") as f:
        text = f.read()
    if text not in seen:
        seen.add(text)
        mutants.append(path)
random.Random(sys.argv[1]).shuffle(mutants)
print("\n".join(mutants))
'

killed=0 survived=0 unbuilt=0 started=$SECONDS
survivors=()
for given in "${files[@]}"; do
  file=$(cd "$(dirname "$given")" && pwd)/$(basename "$given")
  name=$given  # as given outside the project; the draw depends on it
  case $file in "$root"/*) name=${file#"$root/"} ;; esac
  MUTANT_TESTS=$(tests_for "$name")
  language=cpp
  [ "${file##*.}" = c ] && language=c
  rm -rf "$work/mutants" && mkdir "$work/mutants"
  (cd "$work" && mutate "$file" "$language" "${mutate_args[@]}") >"$log" 2>&1 ||
    { cat "$log"; echo "universalmutator failed on $name" >&2; exit 1; }
  order=()
  while IFS= read -r mutant; do order+=("$mutant"); done < <(python3 -c "$shuffle" "$seed:$name" "$work/mutants")
  echo "== $name: ${#order[@]} mutants; tests ${MUTANT_TESTS:-all}"
  [ ${#order[@]} -gt 0 ] || continue
  cp -p "$file" "$work/original"
  # The deps log lists every source and header each object was built from.
  # grep reads it to the end: under pipefail a closed pipe would fail ninja.
  # Looked at before the tests, which for a file the table does not list
  # are the whole suite.
  if run 0 "$build_cmd" && $default_build && [ -f "$build_dir/build.ninja" ] &&
    ! ninja -C "$build_dir" -t deps | grep -xF "    $file" >/dev/null; then
    echo "   skipped: not compiled in this build"
    continue
  fi
  if ! run 0 "$build_cmd" || ! run "$limit" "$test_cmd"; then
    tail -n 20 "$log"
    echo "   skipped: it does not build, or its tests fail, unmutated"
    continue
  fi
  tested=0
  for mutant in "${order[@]}"; do
    [ "$tested" -lt "$sample" ] || break
    line=$(describe "$work/original" "$mutant" "$name")
    since_mutant=$SECONDS
    current=$file
    cp "$mutant" "$file"
    if ! run 0 "$build_cmd"; then
      unbuilt=$((unbuilt + 1))
    else
      tested=$((tested + 1))
      status=0
      run "$limit" "$test_cmd" || status=$?
      if [ "$status" = 0 ]; then
        survived=$((survived + 1)) fate=survived
        survivors+=("$line")
      else
        killed=$((killed + 1)) fate=killed
        case $status in 124 | 137) fate='killed (timed out)' ;; esac
      fi
      printf '   %-19s %4ss  %s\n' "$fate" $((SECONDS - since_mutant)) "$line"
    fi
    restore
  done
done

total=$((killed + survived)) took=$((SECONDS - started))
echo "== mutants: $total tested, $killed killed, $survived survived; $unbuilt did not compile (skipped)"
echo "== ${took}s in all$([ "$total" = 0 ] || echo ", $((took / total))s a mutant tested")"
for line in ${survivors[@]+"${survivors[@]}"}; do echo "survived: $line"; done
exit 0
