#!/usr/bin/env bash
# The macOS workflow's activation experiment. Helpers built with different
# PALISADE_MACOS_ACTIVATION values are engaged and released in turn while
# the probe reads the front and the Dock, and a table says what each did.
# Fails only when no variant both took the front and hid the Dock; on a
# runner with no window-server session it says so in one line and passes.
# Written for macOS's bash 3.2.
#
# Usage: activation.sh PROBE WORKDIR VARIANT=HELPER...
# Leaves what each helper wrote in WORKDIR/VARIANT.out and .err.
set -u
probe=$1 work=$2
shift 2
mkdir -p "$work"

engage_wait=10   # a cold start loads AppKit and the private framework first
release_wait=5
exit_wait=10

# Prints to the log and, on GitHub, to the run's summary page.
say() {
  echo "$1"
  if [ -n "${GITHUB_STEP_SUMMARY:-}" ]; then echo "$1" >> "$GITHUB_STEP_SUMMARY"; fi
}

# Runs the probe with a time limit of its own; sets front, dock and seconds
# from its line ("-" where it printed none) and probe_status.
probe() {
  local line
  line=$(perl -e '$SIG{ALRM} = "DEFAULT"; alarm shift; exec @ARGV' 30 "$probe" "$@")
  probe_status=$?
  front=- dock=- seconds=-
  for field in $line; do
    case $field in
      front=*) front=${field#front=} ;;
      dock=*) dock=${field#dock=} ;;
      seconds=*) seconds=${field#seconds=} ;;
    esac
  done
}

# Waits for the helper to exit; sets status to its exit status, or to
# "hung" after killing it.
await_exit() {
  local i
  for ((i = 0; i < exit_wait * 10; i++)); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      status=$?
      return
    fi
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  status=hung
}

probe
if [ "$probe_status" = 2 ]; then
  say "No window-server session on this runner: the activation experiment could not run."
  exit 0
fi

say "| variant | took the front | Dock hidden | time to front | front after release | helper |"
say "|---|---|---|---|---|---|"
worked=""
for pair in "$@"; do
  variant=${pair%%=*} helper=${pair#*=}
  probe
  before=$front
  rm -f "$work/$variant.in" && mkfifo "$work/$variant.in"
  "$helper" < "$work/$variant.in" > "$work/$variant.out" 2> "$work/$variant.err" &
  pid=$!
  # Read and write: opening the pipe does not wait for the helper to open it.
  exec 3<> "$work/$variant.in"

  probe --send engage --front "$pid" --dock hidden --within "$engage_wait"
  took=no hidden=no to_front=-
  [ "$front" = "$pid" ] && took=yes
  [ "$dock" = hidden ] && hidden=yes
  [ "$seconds" != - ] && to_front="$seconds s"
  [ "$took" = no ] && took="no (front: $front)"
  [ "$hidden" = no ] && hidden="no ($dock)"
  if [ "$front" = "$pid" ] && [ "$dock" = hidden ]; then worked="$worked $variant"; fi

  probe --send release --front "$before" --dock shown --within "$release_wait"
  after="$front, Dock $dock"
  [ "$front" = "$before" ] && after="$after, as before engage" || after="$after; before engage: $before"

  exec 3>&-
  await_exit "$pid"
  ended="exit $status"
  [ "$status" = hung ] && ended="still running $exit_wait s after its input ended: killed"
  wrote=$(cat "$work/$variant.out" "$work/$variant.err" | wc -c | tr -d ' ')
  [ "$wrote" = 0 ] && wrote=nothing || wrote="$wrote bytes"
  say "| $variant | $took | $hidden | $to_front | $after | $ended, wrote $wrote |"
done

for pair in "$@"; do
  variant=${pair%%=*}
  if [ -s "$work/$variant.out" ] || [ -s "$work/$variant.err" ]; then
    echo "$variant wrote:"
    cat "$work/$variant.out" "$work/$variant.err"
  fi
done
if [ -z "$worked" ]; then
  say "No variant both took the front and hid the Dock."
  exit 1
fi
say "Took the front and hid the Dock:$worked."
