#!/usr/bin/env bash
# Formats every C++ file of the tree with the project's clang-format style.
#
#   scripts/format.sh            rewrite the files that differ
#   scripts/format.sh --check    list the files that differ; exit 1 if any does
#
# The version is pinned (scripts/setup.sh installs it): another clang-format
# release may lay out the same code differently.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top"
tool="${CLANG_FORMAT:-clang-format-14}"
if ! command -v "$tool" >/dev/null; then
    echo "format.sh: $tool not found (scripts/setup.sh installs it)" >&2
    exit 2
fi
check=0
if [ "${1:-}" = "--check" ]; then check=1; fi

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' 2>/dev/null ||
                     find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
if [ $check -eq 0 ]; then
    printf '%s\0' "${files[@]}" | xargs -0 -n 50 "$tool" -i
    exit 0
fi
bad=0
for f in "${files[@]}"; do
    if ! "$tool" --dry-run -Werror "$f" >/dev/null 2>&1; then
        echo "not formatted: $f"
        bad=$((bad + 1))
    fi
done
if [ $bad -gt 0 ]; then
    echo "$bad file(s) differ from .clang-format; run scripts/format.sh" >&2
    exit 1
fi
echo "all ${#files[@]} files formatted"
