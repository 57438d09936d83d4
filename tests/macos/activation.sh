#!/usr/bin/env bash
# The macOS workflow's activation experiment. palisade-doctor checks helpers
# built with different PALISADE_MACOS_ACTIVATION values in turn, and a table
# says what each did, with a row for each of the four variants (one not
# given reads "not built"). It fails unless the row of CONFIGURED, the
# variant the build was configured with, took the front and hid the Dock;
# the other rows are there to read. On a runner with no window-server
# session it says so in one line and passes. Written for macOS's bash 3.2.
#
# Usage: activation.sh DOCTOR WORKDIR CONFIGURED VARIANT=HELPER...
# Leaves each variant's whole table in WORKDIR/VARIANT.txt, and its
# screenshots while holding and after release in WORKDIR/VARIANT/.
set -u
doctor=$1 work=$2 configured=$3
shift 3
mkdir -p "$work"

# The doctor's own waits, its two screenshots included, add up to under
# 50 s; after 90 it is hung.
doctor_limit=90

# Prints to the log and, on GitHub, to the run's summary page.
say() {
  echo "$1"
  if [ -n "${GITHUB_STEP_SUMMARY:-}" ]; then echo "$1" >> "$GITHUB_STEP_SUMMARY"; fi
}

# cell FILE CHECK COLUMN: the doctor's result (column 3) or mark (4) in the
# row named CHECK, "-" when it printed no such row. A "\|" inside a cell
# does not end it.
cell() {
  awk -v check="$2" -v column="$3" '
    { line = $0; gsub(/\\\|/, "\001", line); split(line, field, "|")
      name = field[2]; gsub(/^ +| +$/, "", name) }
    name == check {
      value = field[column]; gsub(/^ +| +$/, "", value); gsub(/\001/, "\\|", value)
      print value; found = 1; exit
    }
    END { if (!found) print "-" }' "$1"
}

variants="regular-while-holding agent none agent-regular-while-holding"
rows="" judged=no checked=" "
for pair in "$@"; do
  variant=${pair%%=*} helper=${pair#*=}
  table="$work/$variant.txt"
  checked="$checked$variant "
  mkdir -p "$work/$variant"
  perl -e '$SIG{ALRM} = "DEFAULT"; alarm shift; exec @ARGV' "$doctor_limit" \
    "$doctor" --screenshots "$work/$variant" "$helper" > "$table" 2>&1
  status=$?
  if [ "$status" = 2 ]; then
    say "No window-server session on this runner: the activation experiment could not run."
    exit 0
  fi
  verdict="doctor: exit $status"
  [ "$status" = 142 ] && verdict="doctor: hung, killed after $doctor_limit s"
  rows="$rows| $variant | $(cell "$table" "took the front" 3) | $(cell "$table" "Dock hidden" 3) |"
  rows="$rows $(cell "$table" "helper regular with the Dock on screen" 3) |"
  rows="$rows $(cell "$table" "helper owns the menu bar while engaged" 3) |"
  rows="$rows $(cell "$table" "front after release" 3) | $(cell "$table" "helper's exit" 3) | $verdict |
"
  if [ "$variant" = "$configured" ]; then
    judged=no-row
    if [ "$(cell "$table" "took the front" 4)" = yes ] && [ "$(cell "$table" "Dock hidden" 4)" = yes ]; then
      judged=yes
    fi
  fi
done

for variant in $variants; do
  case $checked in
    *" $variant "*) ;;
    *) rows="$rows| $variant | not built | - | - | - | - | - | - |
" ;;
  esac
done

say "| variant | took the front | Dock hidden | regular with the Dock on screen | owns the menu bar |\
 front after release | helper's exit | doctor |"
say "|---|---|---|---|---|---|---|---|"
while IFS= read -r row; do
  [ -n "$row" ] && say "$row"
done <<< "$rows"
for pair in "$@"; do
  variant=${pair%%=*}
  echo
  echo "palisade-doctor on $variant:"
  cat "$work/$variant.txt"
done
case $judged in
  yes) say "The configured variant, $configured, took the front and hid the Dock." ;;
  no) say "The configured variant, $configured, was not among those checked."; exit 1 ;;
  *) say "The configured variant, $configured, did not both take the front and hide the Dock."; exit 1 ;;
esac
