#!/usr/bin/env bash
# scripts/api-check.sh bites: in a scratch clone at the baseline, a renamed
# Swift method and a removed C function each fail the check; a patch
# version, or a minor one whose migration note sits in another version's
# section, does not let them through; a new minor version with its note does.
# Two Swift diagnoses (the second one incremental), one C library build.
#
# Usage: api_check_test.sh SCRIPT WORKDIR
set -euo pipefail
script=$1 work=$2
root=$(cd "$(dirname "$script")/.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v swift >/dev/null && [ -r /etc/profile.d/swift.sh ]; then
  # shellcheck source=/dev/null
  . /etc/profile.d/swift.sh
fi

# A shallow clone holds no baseline to build: skipped (77), as the check skips.
if [ "$(git -C "$root" rev-parse --is-shallow-repository)" = true ]; then
  echo "this clone is shallow: no baseline to check against"; exit 77
fi

# The baseline's sources with this checkout's check and recorded baseline.
repo="$work/repo"
rm -rf "$work" && mkdir -p "$work"
git clone --quiet "$root" "$repo"
git -C "$repo" checkout --quiet --detach "$(tr -d '[:space:]' < "$root/api/baseline")"
cp "$script" "$repo/scripts/api-check.sh"
mkdir -p "$repo/api" && cp "$root/api/baseline" "$root/api/libpalisade-client.abi" "$repo/api/"

edit() {  # FILE SED-SCRIPT: an edit that must change the file
  local before
  before=$(cksum < "$repo/$1")
  sed -i.orig "$2" "$repo/$1" && rm "$repo/$1.orig"
  [ "$(cksum < "$repo/$1")" != "$before" ] || fail "the edit '$2' left $1 as it was"
}
edit swift/Sources/Palisade/PalisadeClient.swift 's/public func keepAlive()/public func sendKeepAlive()/'
edit client/api.cc '/palisade_version(void) {/d'
edit client/include/palisade/client.h '/^const char\* palisade_version(void);/d'
if ! { cmake -S "$repo" -B "$repo/build" -G Ninja -DPALISADE_TESTS=OFF -DPALISADE_SANITIZE=OFF &&
  cmake --build "$repo/build" --target palisade_client_shared; } > "$work/cmake.log" 2>&1; then
  cat "$work/cmake.log"; fail "the scratch library did not build"
fi

run() {  # EXPECTED-STATUS NAME [--only c]: runs the check, keeps its output
  local status=0
  bash "$repo/scripts/api-check.sh" "${@:3}" "$repo/build" > "$work/$2.log" 2>&1 || status=$?
  if [ "$1" = pass ] && [ "$status" -ne 0 ]; then cat "$work/$2.log"; fail "$2: the check failed"; fi
  if [ "$1" = fail ] && [ "$status" -eq 0 ]; then cat "$work/$2.log"; fail "$2: the check passed"; fi
  if [ "$1" = fail ] && ! grep -q -- "-- a break since" "$work/$2.log"; then
    cat "$work/$2.log"; fail "$2: the check failed, but not on a break"
  fi
}
expect_lines() {  # LOG: one failure line for each break
  grep -q "^api-check: .*Swift: .*keepAlive().*renamed" "$work/$1.log" ||
    { cat "$work/$1.log"; fail "$1: no line for the renamed Swift method"; }
  grep -q "^api-check: .*C: removed function .*palisade_version()" "$work/$1.log" ||
    { cat "$work/$1.log"; fail "$1: no line for the removed C function"; }
}
release() {  # VERSION SECTION-BODY: client/version.h and a new CHANGELOG section
  edit client/version.h "s/\"[0-9.]*\"/\"$1\"/"
  awk -v section="## [$1] - unreleased" -v body="$2" '
    !done && index($0, "## [") == 1 { print section; print ""; print body; print ""; done = 1 }
    { print }' "$repo/CHANGELOG.md" > "$work/CHANGELOG.md"
  mv "$work/CHANGELOG.md" "$repo/CHANGELOG.md"
}
note=$'### Migrating\n\n- Call `sendKeepAlive()` for `keepAlive()`; `palisade_version` is gone.'

run fail unchanged-version
expect_lines unchanged-version

# The rule alone, so the C check is enough: a patch version with its note.
release 0.2.1 "$note"
run fail patch-version --only c
git -C "$repo" checkout --quiet -- client/version.h CHANGELOG.md

# A new minor version, its note in the section below it.
release 0.3.0 $'### Changed\n\n- `keepAlive()` is `sendKeepAlive()`.'
awk -v body="$note" '{ print } index($0, "## [0.2.0]") == 1 { print ""; print body }' \
  "$repo/CHANGELOG.md" > "$work/CHANGELOG.md"
mv "$work/CHANGELOG.md" "$repo/CHANGELOG.md"
run fail note-elsewhere --only c
git -C "$repo" checkout --quiet -- client/version.h CHANGELOG.md

release 0.3.0 "$note"
run pass minor-version-with-note
expect_lines minor-version-with-note
echo "api check: each break fails; a new minor version with its note passes"
