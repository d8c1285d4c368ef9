#!/usr/bin/env bash
# Fails when a C or C++ file of the tree is not laid out as .clang-format says, naming each such
# file and the one command that lays them all out. Run by `make test` (CTest's `format`).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
command -v clang-format >/dev/null || { echo "format: clang-format is not installed (scripts/deps.sh installs it)" >&2; exit 1; }
fix="clang-format -i \$(git ls-files '*.c' '*.cpp' '*.h')"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
else
    mapfile -t files < <(find src tests bench fuzz -name '*.c' -o -name '*.cpp' -o -name '*.h' | sort)
fi
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "format: ${#bad[@]} of ${#files[@]} files differ from .clang-format's layout: ${bad[*]}"
    echo "format: lay them out with: $fix"
    exit 1
fi
echo "format: ${#files[@]} files laid out as .clang-format says"
