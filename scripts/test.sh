#!/usr/bin/env bash
# The suite: installs what is missing, lints the workflows and scripts,
# builds the project three times, plain, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer, and runs every test
# in each; compiles it against libc++ 16; then builds and tests the Swift
# package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
PALISADE_SETUP_TESTS=1
. "$root/scripts/setup.sh"

# First, as it takes seconds: a finding stops the suite.
bash "$root/scripts/lint.sh"

for variant in plain sanitized thread; do
  dir="$root/build-test-$variant"
  flags=(-DPALISADE_SANITIZE=OFF)
  [ "$variant" = sanitized ] && flags=(-DPALISADE_SANITIZE=ON)
  [ "$variant" = thread ] && flags=(-DPALISADE_SANITIZE=thread)
  echo "== $variant build"
  cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}"
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure --parallel 4
done

# The portable code once more, against libc++ 16: close to the C++ library
# of the oldest Xcode on current macOS runners, so a library feature a Mac
# lacks fails here first. Compiled, not linked (GoogleTest here is built for
# libstdc++): every link is a touch.
if [ "$(uname)" != Darwin ]; then
  echo "== libc++ 16 compile"
  dir="$root/build-test-libcxx16"
  cmake -S "$root" -B "$dir" -G Ninja "-DCMAKE_CXX_FLAGS=-nostdinc++ -isystem $PALISADE_LIBCXX16" \
    "-DCMAKE_CXX_LINK_EXECUTABLE=<CMAKE_COMMAND> -E touch <TARGET>" \
    "-DCMAKE_CXX_CREATE_SHARED_LIBRARY=<CMAKE_COMMAND> -E touch <TARGET>"
  cmake --build "$dir"
fi

# The Swift package, against the plain build's simulated helper.
echo "== Swift package"
cd "$root"
swift build
# XCTest only: Swift Testing would close the run on "0 tests".
PALISADE_SIM="$root/build-test-plain/palisade-sim" swift test --disable-swift-testing

# Its documentation, offline: a broken link or an undocumented public
# symbol fails the suite.
echo "== Swift documentation"
bash "$root/scripts/docs.sh"

# The client's Swift and C API against the last release (docs/compatibility.md).
echo "== API compatibility"
bash "$root/scripts/api-check.sh" "$root/build-test-plain"
