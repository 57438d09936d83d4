#!/usr/bin/env bash
# The macOS workflow's check of the example: runs the assembled, signed
# PalisadeExample.app unattended while the probe, a second process, reads
# the front and the Dock. Within 10 s of the engage the helper must be front
# with the Dock hidden; after the release the front must be back (the
# process front before the app started, or the app, if it became front)
# with the Dock shown; once the app has quit, no helper may be left. On a
# runner with no window-server session the front and the Dock are not
# checked, and it says so. Every wait is bounded. Written for macOS's bash 3.2.
#
# Usage: check.sh PalisadeExample.app PROBE
set -u
app=$1 probe=$2
out=$(mktemp)
hold_seconds=12   # outlasts the probe's 10 s for the front
app_pid=""

fail() {
  echo "FAIL: $*"
  echo "--- the app printed:"; cat "$out"
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null; fi
  exit 1
}
# The probe, with a time limit of its own; sets probed (its line) and probe_status.
probe() {
  probed=$(perl -e '$SIG{ALRM} = "DEFAULT"; alarm shift; exec @ARGV' 30 "$probe" "$@")
  probe_status=$?
}
field() { echo "$probed" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
# Waits up to $2 s for the app to print a line starting with $1; sets line.
await_line() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    line=$(grep -m 1 "^$1" "$out") && return 0
    kill -0 "$app_pid" 2>/dev/null || { line=$(grep -m 1 "^$1" "$out"); return; }
    sleep 0.1
  done
  return 1
}

probe
session=yes
if [ "$probe_status" = 2 ]; then
  session=no
  echo "no window-server session on this runner: the front and the Dock are not checked"
fi
front_before=$(field front)
echo "before: $probed"

"$app/Contents/MacOS/PalisadeExample" --unattended --hold "$hold_seconds" > "$out" 2>&1 &
app_pid=$!

await_line engaged 20 || fail "the app did not engage within 20 s"
helper=${line#*helper=}
echo "$line"
[ "$helper" -gt 0 ] 2>/dev/null || fail "no helper pid in '$line'"
if [ "$session" = yes ]; then
  probe --front "$helper" --dock hidden --within 10
  echo "holding: $probed"
  [ "$probe_status" = 0 ] || fail "within 10 s the helper ($helper) was not front with the Dock hidden"
fi

await_line released $((hold_seconds + 10)) || fail "the app did not release"
if [ "$session" = yes ]; then
  # The Dock is shown last, once the front has been given back.
  probe --dock shown --within 5
  echo "released: $probed"
  [ "$probe_status" = 0 ] || fail "the Dock was not shown within 5 s of the release"
  front=$(field front)
  [ "$front" = "$front_before" ] || [ "$front" = "$app_pid" ] ||
    fail "after the release $front is front, not $front_before (before) or the app ($app_pid)"
fi

for ((i = 0; i < 200; i++)); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app_pid" 2>/dev/null; then fail "the app did not quit within 20 s"; fi
wait "$app_pid"
status=$?
app_pid=""
[ "$status" = 0 ] || fail "the app exited with $status"
if kill -0 "$helper" 2>/dev/null; then fail "the helper ($helper) outlived the app"; fi
if pgrep -f "$app/Contents/Helpers/palisade" >/dev/null; then
  fail "a helper process remains: $(pgrep -lf "$app/Contents/Helpers/palisade")"
fi
echo "--- the app printed:"; cat "$out"
echo "PASS: engaged, released and closed; no helper left"
