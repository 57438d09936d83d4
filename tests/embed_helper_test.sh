#!/usr/bin/env bash
# scripts/embed-helper.sh as an Xcode Run Script phase runs it, signing off:
# the helper lands in a scratch bundle's Contents/Helpers and is the helper;
# a second run rebuilds nothing and leaves the placed file as it was.
#
# Usage: embed_helper_test.sh SCRIPT WORKDIR
# WORKDIR keeps the helper's build folder between runs; the bundle is new
# each time.
set -euo pipefail
script=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

export ARCHS MACOSX_DEPLOYMENT_TARGET=11.0 TARGET_BUILD_DIR="$work/Products"
ARCHS=$(uname -m)
export CONTENTS_FOLDER_PATH=Scratch.app/Contents DERIVED_FILE_DIR="$work/Derived"
# An identity Xcode would pass, which signing off must override.
export CODE_SIGNING_ALLOWED=NO EXPANDED_CODE_SIGN_IDENTITY=-
rm -rf "$TARGET_BUILD_DIR"
mkdir -p "$TARGET_BUILD_DIR/Scratch.app/Contents/MacOS"
placed="$TARGET_BUILD_DIR/Scratch.app/Contents/Helpers/palisade"
built="$DERIVED_FILE_DIR/palisade-helper/palisade"

# Inode and mtime (to the nanosecond where the file system keeps it).
identity() { perl -MTime::HiRes=stat -e 'my @s = stat shift or die "$!\n"; print "$s[1] $s[9]\n"' "$1"; }

bash "$script" > "$work/first.log" 2>&1 || { cat "$work/first.log"; fail "the first run failed"; }
if [ ! -f "$placed" ] || [ ! -x "$placed" ]; then fail "no executable at $placed"; fi
# The helper, not some other program: exits 0 at end of input, prints nothing.
status=0
true | perl -e '$SIG{ALRM} = "DEFAULT"; alarm shift; exec @ARGV' 20 "$placed" > "$work/helper.out" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the placed helper exited with $status at end of input"
[ ! -s "$work/helper.out" ] || fail "the placed helper wrote: $(cat "$work/helper.out")"

before_placed=$(identity "$placed") before_built=$(identity "$built")
bash "$script" > "$work/second.log" 2>&1 || { cat "$work/second.log"; fail "the second run failed"; }
[ "$(identity "$built")" = "$before_built" ] || { cat "$work/second.log"; fail "the second run rebuilt the helper"; }
if [ -f "$DERIVED_FILE_DIR/palisade-helper/build.ninja" ]; then
  grep -q "no work to do" "$work/second.log" || { cat "$work/second.log"; fail "the second build did some work"; }
fi
[ "$(identity "$placed")" = "$before_placed" ] || fail "the second run replaced or touched the placed helper"
echo "placed, ran, and left alone on the second run"
