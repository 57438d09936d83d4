#!/usr/bin/env bash
# The suite: installs what is missing, builds the project twice, plain and
# under AddressSanitizer with UndefinedBehaviorSanitizer, and runs every test
# in each, then builds and tests the Swift package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
PALISADE_SETUP_TESTS=1
. "$root/scripts/setup.sh"

for variant in plain sanitized; do
  dir="$root/build-test-$variant"
  flags=(-DPALISADE_SANITIZE=OFF)
  [ "$variant" = sanitized ] && flags=(-DPALISADE_SANITIZE=ON)
  echo "== $variant build"
  cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure --parallel 4
done

# The Swift package, against the plain build's simulated helper.
echo "== Swift package"
cd "$root"
swift build
# XCTest only: Swift Testing would close the run on "0 tests".
PALISADE_SIM="$root/build-test-plain/palisade-sim" swift test --disable-swift-testing
