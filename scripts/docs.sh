#!/usr/bin/env bash
# Builds the Swift package's documentation offline, with every warning an
# error: a broken symbol or article link fails it, as do a public symbol
# with no documentation comment and a code listing that no longer matches
# the source it was copied from (scripts/check-docs.py).
#
#   bash scripts/docs.sh [HOSTING-BASE-PATH]
#
# Writes build-docs/Palisade.doccarchive, transformed for static hosting;
# a base path (GitHub Pages: the repository's name) serves it from there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-}
work="$root/build-docs"
archive="$work/Palisade.doccarchive"

# Xcode's docc is reached through xcrun; a toolchain's is on PATH.
docc=(docc)
command -v docc >/dev/null || docc=(xcrun docc)

# A fresh folder each time: the changed flag rebuilds the module, so the
# graph is always written (an up-to-date build would write none).
mkdir -p "$work"
graphs=$(mktemp -d "$work/symbol-graphs.XXXXXX")
trap 'rm -rf "$graphs"' EXIT
rm -rf "$archive"
echo "== symbol graph"
swift build --package-path "$root" --scratch-path "$work/swift" --target Palisade \
  -Xswiftc -emit-symbol-graph -Xswiftc -emit-symbol-graph-dir -Xswiftc "$graphs"

echo "== documentation comments and copied listings"
python3 "$root/scripts/check-docs-test.py"
catalog="$root/swift/Sources/Palisade/Palisade.docc"
python3 "$root/scripts/check-docs.py" "$graphs" "$root" "$catalog"/*.md "$root/README.md" "$root"/docs/*.md

echo "== docc"
hosting=()
[ -n "$base" ] && hosting=(--hosting-base-path "$base")
"${docc[@]}" convert "$catalog" --additional-symbol-graph-dir "$graphs" --output-dir "$archive" \
  --fallback-display-name Palisade --fallback-bundle-identifier com.fernhollow.palisade \
  --warnings-as-errors --transform-for-static-hosting ${hosting[@]+"${hosting[@]}"}
echo "docs: $archive"
