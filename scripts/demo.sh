#!/usr/bin/env bash
# The main job: build, then run a parent application's session with the
# simulated helper and print what the window server saw.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DPALISADE_TESTS=OFF >/dev/null
cmake --build "$root/build" --target palisade-demo >/dev/null
"$root/build/demo/palisade-demo" "$root/build/palisade-sim"
