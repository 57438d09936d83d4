#!/usr/bin/env bash
# The activation experiment judges the configured variant only, prints a
# row for each of the four variants, and gives each its own screenshots:
# run against a stand-in doctor whose table says what each "helper"
# argument asks for.
#
# Usage: activation_test.sh ACTIVATION_SH WORKDIR
set -u
script=$1 work=$2
rm -rf "$work" && mkdir -p "$work"

# Its argument: "TOOK,HIDDEN" for its two marks, or "nosession".
cat > "$work/doctor" <<'DOCTOR'
#!/bin/sh
[ "$1" = --screenshots ] && { echo "$2" > "$2/holding.png"; shift 2; }
[ "$1" = nosession ] && { echo "palisade-doctor: no window-server session here"; exit 2; }
took=${1%,*} hidden=${1#*,}
printf '| check | result | ok |\n|---|---|---|\n'
printf '| took the front | %s | %s |\n| Dock hidden | %s | %s |\n' "$took" "$took" "$hidden" "$hidden"
printf '| front after release | 1 a\\|b, as before engage | yes |\n'
printf '| helper regular with the Dock on screen | never in 9 samples | |\n'
[ "$took$hidden" = yesyes ]
DOCTOR
chmod +x "$work/doctor"

failures=0
# expect STATUS LAST-LINE CONFIGURED VARIANT=ARGUMENT...
expect() {
  local status=$1 line=$2 output got
  shift 2
  output=$(GITHUB_STEP_SUMMARY="" bash "$script" "$work/doctor" "$work/run" "$@" 2>&1)
  got=$?
  if [ "$got" != "$status" ] || [ "$(printf '%s\n' "$output" | tail -n 1)" != "$line" ]; then
    echo "activation.sh $*: status $got, expected $status ending '$line'; it printed:"
    printf '%s\n' "$output"
    failures=$((failures + 1))
  fi
}

expect 0 "The configured variant, a, took the front and hid the Dock." a a=yes,yes b=no,no
expect 1 "The configured variant, a, did not both take the front and hide the Dock." a a=yes,no b=yes,yes
expect 1 "The configured variant, a, did not both take the front and hide the Dock." a a=no,yes
expect 1 "The configured variant, c, was not among those checked." c a=yes,yes
expect 0 "No window-server session on this runner: the activation experiment could not run." a a=nosession
# A '|' inside a cell stays in its cell of the summary.
output=$(bash "$script" "$work/doctor" "$work/run" a a=yes,yes 2>&1)
case $output in
  *"| a | yes | yes | never in 9 samples | - | 1 a\\|b, as before engage |"*) ;;
  *) echo "the summary row split an escaped '|':"; printf '%s\n' "$output"; failures=$((failures + 1)) ;;
esac
# Every variant has a row, "not built" when it was not given; each checked
# one has its own folder of screenshots.
output=$(bash "$script" "$work/doctor" "$work/run" agent regular-while-holding=yes,yes agent=no,no 2>&1)
for row in "| regular-while-holding | yes |" "| agent | no |" "| none | not built |" \
           "| agent-regular-while-holding | not built |"; do
  case $output in
    *"$row"*) ;;
    *) echo "no row '$row':"; printf '%s\n' "$output"; failures=$((failures + 1)) ;;
  esac
done
for variant in regular-while-holding agent; do
  [ "$(cat "$work/run/$variant/holding.png" 2>/dev/null)" = "$work/run/$variant" ] ||
    { echo "$variant's screenshots were not asked for in $work/run/$variant"; failures=$((failures + 1)); }
done
exit "$((failures > 0))"
