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
#   EXPANDED_CODE_SIGN_IDENTITY_NAME    the identity's name (Xcode passes its SHA-1 above)
#   OTHER_CODE_SIGN_FLAGS       appended to the helper's codesign call
#   ENABLE_USER_SCRIPT_SANDBOXING, SCRIPT_OUTPUT_FILE_*    the sandbox, and
#                               the outputs the phase declares to it
#   PALISADE_MACOS_ACTIVATION   how the helper becomes front; the project's default if unset
# By hand:
#   embed-helper.sh --app MyApp.app [--sign IDENTITY]
# builds in build-embed/ at the top of this checkout unless DERIVED_FILE_DIR
# is set, and signs only when --sign is given.
#
# A second run with nothing changed rebuilds nothing and leaves the placed
# helper as it is: it is copied, and then signed, only when the build made a
# different one, the signing changed, or the placed file is not the one this
# script placed last (changed by hand, or an older copy put back).
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
placed="$contents/Helpers/palisade"

# Xcode's sandbox lets a phase write only what it declares, and its refusal
# comes late, as a failed copy: say first what to declare.
declared() {
  local i list line
  for ((i = 0; i < ${SCRIPT_OUTPUT_FILE_COUNT:-0}; i++)); do
    list="SCRIPT_OUTPUT_FILE_$i"
    [ "${!list:-}" != "$placed" ] || return 0
  done
  for ((i = 0; i < ${SCRIPT_OUTPUT_FILE_LIST_COUNT:-0}; i++)); do
    list="SCRIPT_OUTPUT_FILE_LIST_$i"
    [ -f "${!list:-}" ] || continue
    while IFS= read -r line || [ -n "$line" ]; do
      [ "$line" != "$placed" ] || return 0
    done < "${!list}"
  done
  return 1
}
if [ "${ENABLE_USER_SCRIPT_SANDBOXING:-NO}" = YES ] && ! declared; then
  # shellcheck disable=SC2016 # Xcode's notation, to type into Xcode
  output='$(TARGET_BUILD_DIR)/$(CONTENTS_FOLDER_PATH)/Helpers/palisade'
  die "User Script Sandboxing is on: add $output to this phase's Output Files, or set ENABLE_USER_SCRIPT_SANDBOXING to NO"
fi

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
  # A codesign here is a stand-in (the tests bring one); there is no real one.
  [ -z "$identity" ] || need codesign "signing is for macOS: leave it off here"
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

# What was placed last: the built helper as copied, where and how it was
# signed, and the placed file's checksum after signing (signing changes it).
# The checksum, not a date: an older copy put back keeps its older date.
built="$build/palisade"
last="$build/embedded-palisade" record="$build/embedded-record"
flags=()
read -r -a flags <<< "${OTHER_CODE_SIGN_FLAGS:-}"
wanted="$placed signed by '$identity' with '${flags[*]:-}'"
if [ -f "$placed" ] && [ -f "$record" ] && cmp -s "$built" "$last" &&
   [ "$wanted $(cksum < "$placed")" = "$(cat "$record")" ]; then
  echo "embed-helper.sh: $placed is up to date"
  exit 0
fi
mkdir -p "$contents/Helpers"
rm -f "$record"
cp "$built" "$placed.tmp"
chmod 755 "$placed.tmp"
mv -f "$placed.tmp" "$placed"
if [ -n "$identity" ]; then
  # The hardened runtime always. A secure timestamp needs Apple's server,
  # and only a Developer ID signature (for notarization) needs one; Xcode
  # passes the identity as a SHA-1 and its name beside it.
  name=${EXPANDED_CODE_SIGN_IDENTITY_NAME:-$identity}
  if [[ $name =~ ^[0-9A-Fa-f]{40}$ ]] && command -v security >/dev/null; then
    name=$(security find-identity -v -p codesigning | awk -v hash="$name" 'toupper($2) == toupper(hash)')
  fi
  timestamp=--timestamp=none
  [[ $name != *"Developer ID Application"* ]] || timestamp=--timestamp
  codesign --force --options runtime "$timestamp" --sign "$identity" ${flags[@]+"${flags[@]}"} "$placed"
  echo "embed-helper.sh: placed and signed $placed ($identity)"
else
  echo "embed-helper.sh: placed $placed (not signed)"
fi
cp "$built" "$last"
echo "$wanted $(cksum < "$placed")" > "$record"
