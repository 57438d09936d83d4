#!/usr/bin/env bash
# Lints what cannot run here: the GitHub workflows (actionlint, which also
# runs shellcheck on their run: steps, and zizmor, the security audit) and
# the shell scripts (shellcheck). Every tool runs; any finding fails.
# test.sh runs it first; setup.sh installs the tools when missing.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

failed=()
echo "== actionlint"
actionlint || failed+=(actionlint)
# Offline: the audits that would ask GitHub's API (whether a pinned commit
# is the tag it names) are skipped, so the result does not depend on it.
echo "== zizmor"
zizmor --offline --no-progress .github/workflows/ || failed+=(zizmor)
echo "== shellcheck"
scripts=()
while IFS= read -r script; do scripts+=("$script"); done < <(
  find . \( -name 'build*' -o -name .build -o -name .git \) -prune -o \
    -type f \( -name '*.sh' -o -path ./.ci/run \) -print | sort)
shellcheck "${scripts[@]}" || failed+=(shellcheck)

if [ ${#failed[@]} -gt 0 ]; then
  echo "Lint findings from: ${failed[*]}" >&2
  exit 1
fi
echo "lint: no findings (${#scripts[@]} scripts)"
