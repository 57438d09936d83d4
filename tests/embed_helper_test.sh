#!/usr/bin/env bash
# scripts/embed-helper.sh as an Xcode Run Script phase runs it: the helper
# lands in a scratch bundle's Contents/Helpers and is the helper; a second
# run rebuilds nothing and leaves the placed file as it was; a placed file
# changed by hand or put back older is replaced; the sandbox's undeclared
# output stops it; and, through a stand-in codesign, how it signs.
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

# The placed file replaced by the built one again.
expect_replaced() {
  bash "$script" > "$work/again.log" 2>&1 || { cat "$work/again.log"; fail "the run after $1 failed"; }
  cmp -s "$built" "$placed" || fail "the placed helper was left as it was after $1"
}
printf 'x' >> "$placed"
expect_replaced "a change by hand"
# An older copy put back, with its older date.
cp "$script" "$placed"
touch -d '2001-01-01' "$placed"
expect_replaced "an older copy was put back"

# The sandbox: stopped with one line, before any build, unless the output
# is declared, one by one or in a file list.
export ENABLE_USER_SCRIPT_SANDBOXING=YES
status=0
bash "$script" > "$work/sandbox.log" 2>&1 || status=$?
if [ "$status" != 1 ] || [ "$(wc -l < "$work/sandbox.log")" != 1 ] || ! grep -q "Output Files" "$work/sandbox.log"; then
  cat "$work/sandbox.log"; fail "an undeclared output in the sandbox did not stop it with one line"
fi
SCRIPT_OUTPUT_FILE_COUNT=2 SCRIPT_OUTPUT_FILE_0=/elsewhere SCRIPT_OUTPUT_FILE_1="$placed" \
  bash "$script" > "$work/sandbox.log" 2>&1 || { cat "$work/sandbox.log"; fail "a declared output was refused"; }
printf '/elsewhere\n%s\n' "$placed" > "$work/outputs.xcfilelist"
SCRIPT_OUTPUT_FILE_LIST_COUNT=1 SCRIPT_OUTPUT_FILE_LIST_0="$work/outputs.xcfilelist" \
  bash "$script" > "$work/sandbox.log" 2>&1 || { cat "$work/sandbox.log"; fail "an output in a file list was refused"; }
unset ENABLE_USER_SCRIPT_SANDBOXING

# Signing, through a codesign that logs its arguments and changes the file
# as signing does.
mkdir -p "$work/bin"
cat > "$work/bin/codesign" <<'CODESIGN'
#!/bin/sh
echo "$*" >> "$CODESIGN_LOG"
for last; do :; done
printf 'signed' >> "$last"
CODESIGN
chmod +x "$work/bin/codesign"
export PATH="$work/bin:$PATH" CODESIGN_LOG="$work/codesign.log" CODE_SIGNING_ALLOWED=YES
: > "$CODESIGN_LOG"
# sign HASH NAME FLAGS: runs the script as Xcode would, with that identity.
sign() {
  EXPANDED_CODE_SIGN_IDENTITY=$1 EXPANDED_CODE_SIGN_IDENTITY_NAME=$2 OTHER_CODE_SIGN_FLAGS=$3 \
    bash "$script" > "$work/sign.log" 2>&1 || { cat "$work/sign.log"; fail "signing with '$2' failed"; }
}
development=1111111111111111111111111111111111111111 developer_id=2222222222222222222222222222222222222222
sign "$development" "Apple Development: A (TEAM)" "--entitlements e.plist --verbose"
signed="--force --options runtime --timestamp=none --sign $development --entitlements e.plist --verbose $placed"
[ "$(tail -n 1 "$CODESIGN_LOG")" = "$signed" ] ||
  fail "a Development signature: codesign $(tail -n 1 "$CODESIGN_LOG")"
sign "$developer_id" "Developer ID Application: A (TEAM)" ""
[ "$(tail -n 1 "$CODESIGN_LOG")" = "--force --options runtime --timestamp --sign $developer_id $placed" ] ||
  fail "a Developer ID signature: codesign $(tail -n 1 "$CODESIGN_LOG")"
sign "$developer_id" "Developer ID Application: A (TEAM)" ""
[ "$(wc -l < "$CODESIGN_LOG")" = 2 ] || fail "a run with nothing changed signed again"
sign "$developer_id" "Developer ID Application: A (TEAM)" "--verbose"
[ "$(wc -l < "$CODESIGN_LOG")" = 3 ] || fail "new OTHER_CODE_SIGN_FLAGS did not sign again"
echo "placed, ran, left alone, replaced when stale, refused in the sandbox, and signed as asked"
