#!/usr/bin/env bash
# Builds the Palisade helper and places it in an application bundle as
# Contents/Helpers/palisade, signed before the application is signed around
# it. Written for macOS's bash 3.2.
#
# In an Xcode Run Script build phase it reads Xcode's build settings:
#   ARCHS                       architectures; arm64 and x86_64 give a universal helper
#   MACOSX_DEPLOYMENT_TARGET    the oldest macOS it runs on (11.0 if unset)
#   TARGET_BUILD_DIR, CONTENTS_FOLDER_PATH    the bundle's Contents folder
#   DERIVED_FILE_DIR            where the helper's build folder goes
#   EXPANDED_CODE_SIGN_IDENTITY, CODE_SIGNING_ALLOWED    how to sign it
#   PALISADE_MACOS_ACTIVATION   how the helper becomes front; the project's default if unset
# By hand:
#   embed-helper.sh --app MyApp.app [--sign IDENTITY]
# builds in build-embed/ at the top of this checkout unless DERIVED_FILE_DIR
# is set, and signs only when --sign is given.
#
# A second run with nothing changed rebuilds nothing and leaves the placed
# helper as it is: it is copied, and then signed, only when the build made a
# different one, the identity changed, or someone else changed the copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

die() { echo "embed-helper.sh: $*" >&2; exit 1; }

app="" identity="${EXPANDED_CODE_SIGN_IDENTITY:-}"
while [ $# -gt 0 ]; do
  case $1 in
    --app) [ $# -ge 2 ] || die "--app needs the application bundle"; app=$2; shift 2 ;;
    --sign) [ $# -ge 2 ] || die "--sign needs an identity ('-' for ad hoc)"; identity=$2; shift 2 ;;
    *) die "unknown argument '$1'; usage: embed-helper.sh [--app MyApp.app] [--sign IDENTITY]" ;;
  esac
done
if [ -n "$app" ]; then
  contents="${app%/}/Contents"
elif [ -n "${TARGET_BUILD_DIR:-}" ] && [ -n "${CONTENTS_FOLDER_PATH:-}" ]; then
  contents="$TARGET_BUILD_DIR/$CONTENTS_FOLDER_PATH"
else
  die "no bundle: run it from an Xcode build phase, or pass --app MyApp.app"
fi
[ "${CODE_SIGNING_ALLOWED:-YES}" != NO ] || identity=""
build="${DERIVED_FILE_DIR:+$DERIVED_FILE_DIR/palisade-helper}"
build="${build:-$root/build-embed}"

# One line naming what to install, before anything is built.
need() { command -v "$1" >/dev/null || die "$1 is missing: $2"; }
if [ "$(uname)" = Darwin ]; then
  # Xcode runs build phases with a short PATH that leaves Homebrew out.
  PATH="$PATH:/opt/homebrew/bin:/usr/local/bin"
  tools="xcode-select --install (Xcode's command-line tools)"
  need cmake "brew install cmake"
  need clang++ "$tools"
  [ -z "$identity" ] || need codesign "$tools"
  # Ninja where it is, else make, which comes with the command-line tools.
  command -v ninja >/dev/null || need make "$tools"
else
  need cmake "apt-get install cmake"
  # The build also finds clang++ beside a Swift toolchain's swiftc.
  command -v clang++ >/dev/null || command -v swiftc >/dev/null ||
    die "clang++ is missing: apt-get install clang (or put a Swift toolchain on PATH)"
  command -v ninja >/dev/null || need make "apt-get install make"
  [ -z "$identity" ] || die "signing needs macOS's codesign: leave it off here"
fi
generator=Ninja
command -v ninja >/dev/null || generator="Unix Makefiles"

# Every setting is passed each time, so one that was dropped does not
# linger in the cache; configuring again with the same ones rebuilds nothing.
archs=$(echo "${ARCHS:-}" | xargs | tr ' ' ';')  # "arm64 x86_64" → "arm64;x86_64"
args=(-DCMAKE_BUILD_TYPE=Release -DPALISADE_TESTS=OFF)
if [ -n "${PALISADE_MACOS_ACTIVATION:-}" ]; then
  args+=("-DPALISADE_MACOS_ACTIVATION=$PALISADE_MACOS_ACTIVATION")
else
  args+=(-UPALISADE_MACOS_ACTIVATION)  # back to the project's default
fi
if [ "$(uname)" = Darwin ]; then
  args+=("-DCMAKE_OSX_ARCHITECTURES=$archs"
         "-DCMAKE_OSX_DEPLOYMENT_TARGET=${MACOSX_DEPLOYMENT_TARGET:-11.0}")
fi
# The generator is chosen once: CMake refuses another for the same folder.
[ -f "$build/CMakeCache.txt" ] || args+=(-G "$generator")
cmake -S "$root" -B "$build" "${args[@]}"
cmake --build "$build" --target palisade

# What was placed last: the built helper as copied (signing changes the
# placed one), and where and how it was signed.
built="$build/palisade" placed="$contents/Helpers/palisade"
last="$build/embedded-palisade" record="$build/embedded-record"
wanted="$placed signed by '$identity'"
if [ -f "$placed" ] && [ -f "$record" ] && [ ! "$placed" -nt "$record" ] &&
   [ "$wanted" = "$(cat "$record")" ] && cmp -s "$built" "$last"; then
  echo "embed-helper.sh: $placed is up to date"
  exit 0
fi
mkdir -p "$contents/Helpers"
rm -f "$record"
cp "$built" "$placed.tmp"
chmod 755 "$placed.tmp"
mv -f "$placed.tmp" "$placed"
if [ -n "$identity" ]; then
  # The hardened runtime always; a secure timestamp needs a real identity.
  if [ "$identity" = - ]; then
    codesign --force --options runtime --sign - "$placed"
  else
    codesign --force --options runtime --timestamp --sign "$identity" "$placed"
  fi
  echo "embed-helper.sh: placed and signed $placed ($identity)"
else
  echo "embed-helper.sh: placed $placed (not signed)"
fi
cp "$built" "$last"
echo "$wanted" > "$record"
