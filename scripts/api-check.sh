#!/usr/bin/env bash
# Catches a break of the client's API against the last release, before it
# ships: the Swift module with SwiftPM's API diagnosis, the C library with
# libabigail's abidiff against the ABI recorded in api/. A break passes only
# when client/version.h names a new minor version (a new major from 1.0 on)
# and that version's section of CHANGELOG.md has a "### Migrating" note.
#
#   api-check.sh [--only swift|c] BUILD_DIR      check; BUILD_DIR holds the
#                                               CMake build (RelWithDebInfo)
#   api-check.sh --record BUILD_DIR COMMIT       make COMMIT, built in
#                                               BUILD_DIR, the new baseline
#
# The baseline is the newest tag vX.Y.Z this checkout descends from, or,
# before the first one, the commit named in api/baseline; the two must agree
# (the release workflow records each release). docs/compatibility.md has more.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
abi="$root/api/libpalisade-client.abi"
recorded="$root/api/baseline"

fail() { echo "api-check: $*" >&2; exit 1; }

only=both
[ "${1:-}" = --only ] && { only=$2; shift 2; }
case $only in both | swift | c) ;; *) fail "--only takes swift or c" ;; esac
mode=check
[ "${1:-}" = --record ] && { mode=record; shift; }
[ $# -ge 1 ] || fail "usage: api-check.sh [--only swift|c] BUILD_DIR | --record BUILD_DIR COMMIT"
library="$1/client/libpalisade-client.so"

# The library's ABI as abidiff compares it: the exported functions and the
# types they reach (the opaque client stays opaque), without the paths,
# architecture and line numbers that differ between machines and edits.
write_abi() {
  abidw --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-architecture \
    --no-show-locs --no-elf-needed --drop-undefined-syms --type-id-style hash \
    --drop-private-types --hd "$root/client/include/palisade" "$library"
}
# Without debug information abidiff sees symbol names only, not types.
# (Read whole first: grep -q leaving early would fail the pipe.)
sections=$(readelf -S "$library" 2>/dev/null || true)
grep -q '\.debug_info' <<<"$sections" || [ "$only" = swift ] || [ "$(uname)" = Darwin ] ||
  fail "$library is missing or has no debug information: build it RelWithDebInfo (CMake's default here)"

if [ ! -e "$root/.git" ]; then
  [ "$mode" = check ] || fail "--record needs a git checkout"
  echo "api-check: not a git checkout, so there is no release to compare with: skipped"
  exit 0
fi
git() { command git -C "$root" "$@"; }
# A shallow clone may lack the baseline and the tags. There is nothing to
# compare with then, and no fetching behind the caller's back: say so, and
# let the rest of the suite run.
if [ "$(git rev-parse --is-shallow-repository)" = true ]; then
  echo "api-check: this clone is shallow, so the last release may be missing:" \
       "skipped; run 'git fetch --unshallow --tags' (or clone with full history) to check"
  exit 0
fi

version_at() {  # the version client/version.h names at a commit, or in the tree
  local text
  if [ "$1" = tree ]; then text=$(cat "$root/client/version.h"); else
    text=$(git show "$1:client/version.h" 2>/dev/null) || fail "no client/version.h at $1"
  fi
  sed -n 's/^#define PALISADE_VERSION "\([0-9]*\.[0-9]*\.[0-9]*\)"$/\1/p' <<<"$text"
}

if [ "$mode" = record ]; then
  [ $# -eq 2 ] || fail "usage: api-check.sh --record BUILD_DIR COMMIT"
  commit=$(git rev-parse --verify "$2^{commit}") || fail "no commit $2"
  git diff --quiet "$commit" -- client ||
    fail "client/ differs from $2: check $2 out and build it first"
  mkdir -p "$root/api"
  write_abi > "$abi"
  echo "$commit" > "$recorded"
  echo "api-check: the baseline is now $commit (version $(version_at "$commit"))"
  exit 0
fi

# The baseline: the newest release tag this checkout descends from, else
# the recorded commit. The recorded ABI must come from that same commit.
tag=$(git tag --merged HEAD --list 'v*' | grep -E '^v[0-9]+\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1 || true)
[ -f "$recorded" ] || fail "api/baseline is missing"
baseline=$(tr -d '[:space:]' < "$recorded")
git cat-file -e "$baseline^{commit}" 2>/dev/null || fail "api/baseline names $baseline, which is not in this clone"
if [ -n "$tag" ] && [ "$(git rev-parse "$tag^{commit}")" != "$baseline" ]; then
  fail "the last release is $tag but api/baseline names ${baseline:0:12}: merge the release's baseline" \
       "pull request, or build $tag and run scripts/api-check.sh --record BUILD_DIR $tag"
fi
was=$(version_at "$baseline")
now=$(version_at tree)
if [ -z "$was" ] || [ -z "$now" ]; then fail "cannot read the version from client/version.h"; fi
label=${tag:-${baseline:0:12} ($was)}

breaks=()
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ "$only" != c ]; then
  # Non-zero both for a break and for a build that failed: the report tells.
  if (cd "$root" && swift package diagnose-api-breaking-changes "$baseline") > "$scratch/swift" 2>&1; then :
  elif grep -q 'API breakage: ' "$scratch/swift"; then
    while IFS= read -r line; do breaks+=("Swift: ${line#*API breakage: }"); done \
      < <(grep 'API breakage: ' "$scratch/swift")
  else
    cat "$scratch/swift" >&2
    fail "the Swift API diagnosis did not run (its output is above)"
  fi
fi

if [ "$only" != swift ] && [ "$(uname)" = Darwin ]; then
  echo "api-check: the C check reads the Linux (ELF) library: skipped on macOS"
elif [ "$only" != swift ]; then
  # abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an
  # incompatible one. Added functions break nothing and are left out.
  status=0
  abidiff --no-architecture --no-added-syms "$abi" "$library" > "$scratch/c" 2>&1 || status=$?
  if [ $((status & 3)) -ne 0 ]; then
    cat "$scratch/c" >&2
    fail "abidiff did not run (its output is above)"
  elif [ "$status" -ne 0 ]; then
    cat "$scratch/c"
    while IFS= read -r line; do
      case $line in
        *"[D] '"*) line=${line#*\'}; breaks+=("C: removed ${line%%\'*}") ;;
        *"[C] '"*) line=${line#*\'}; breaks+=("C: changed ${line%%\'*} (abidiff's report above says how)") ;;
      esac
    done < "$scratch/c"
    # A change abidiff lists otherwise, such as the SONAME.
    [ ${#breaks[@]} -gt 0 ] || breaks+=("C: the library's ABI changed (abidiff's report is above)")
  fi
fi

if [ ${#breaks[@]} -eq 0 ]; then
  echo "api-check: no break since $label"
  exit 0
fi

# Before 1.0 a new minor version may break the API; from 1.0, a new major.
IFS=. read -r was_major was_minor _ <<<"$was"
IFS=. read -r now_major now_minor _ <<<"$now"
if [ "$was_major" -eq 0 ]; then
  next="0.$((was_minor + 1)).0"
  new_enough=$((now_major > 0 || now_minor > was_minor))
else
  next="$((was_major + 1)).0.0"
  new_enough=$((now_major > was_major))
fi
noted=$(awk -v heading="## [$now]" '
  index($0, "## [") == 1 { within = index($0, heading) == 1; next }
  within && index($0, "### Migrating") == 1 { found = 1 }
  END { print found + 0 }' "$root/CHANGELOG.md")

if [ "$new_enough" -eq 1 ] && [ "$noted" -eq 1 ]; then
  for line in "${breaks[@]}"; do echo "api-check: allowed by $now and its migration note: $line"; done
  exit 0
fi
if [ "$new_enough" -eq 1 ]; then
  advice="add a '### Migrating' note to the $now section of CHANGELOG.md"
else
  advice="keep the old API, or make client/version.h $next and give its CHANGELOG.md section a '### Migrating' note"
fi
for line in "${breaks[@]}"; do echo "api-check: $line -- a break since $label: $advice" >&2; done
exit 1
