#!/usr/bin/env bash
# Builds the project twice, plain and under AddressSanitizer with
# UndefinedBehaviorSanitizer, and runs the whole suite in each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

for variant in plain sanitized; do
  dir="$root/build-test-$variant"
  flags=(-DPALISADE_SANITIZE=OFF)
  [ "$variant" = sanitized ] && flags=(-DPALISADE_SANITIZE=ON)
  echo "== $variant build"
  cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure --parallel 4
done
