#!/usr/bin/env bash
# Checks the C++ files changed on this branch against the repository's
# .clang-format: the files that differ from the merge-base with main (or the
# revision given as $1), plus uncommitted ones; without such a revision (a
# clone of one branch), the files of the last commit. With --all, every C++
# file. Prints the offending places and fails when one is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed (apt-get install clang-format)" >&2; exit 1; }

if [[ "${1:-}" == "--all" ]]; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    base_ref="${1:-main}"
    if ! base=$(git merge-base HEAD "$base_ref" 2>/dev/null); then
        base=$(git rev-parse -q --verify 'HEAD^' || git hash-object -t tree /dev/null)
    fi
    mapfile -t files < <({ git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.h'
                           git ls-files --others --exclude-standard -- '*.cpp' '*.h'; } | sort -u)
fi

existing=()
for f in "${files[@]}"; do
    [[ -f "$f" ]] && existing+=("$f")
done
if ((${#existing[@]} == 0)); then
    echo "check-format: no C++ files to check"
    exit 0
fi
clang-format --dry-run -Werror "${existing[@]}"
echo "check-format: ${#existing[@]} files formatted"
