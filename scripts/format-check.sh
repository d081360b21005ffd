#!/usr/bin/env bash
# Checks that every C and C++ source of the repository is laid out as
# .clang-format says; lists the files that are not. "--fix" rewrites them.
# The plugin interface header keeps its hand-aligned layout: authors read it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# By name, not through git: a copy of the repository need not be a clone.
mapfile -t sources < <(find . \( -path ./build -o -path ./.git \) -prune -o -type f \
    \( -name '*.c' -o -name '*.h' -o -name '*.cpp' \) ! -path ./include/dvrplugin.h -print | sort)
if [ "${1:-}" = "--fix" ]; then
    clang-format-14 -i "${sources[@]}"
    exit 0
fi
# One process for every file; its complaints name each file and line.
if ! findings=$(clang-format-14 --dry-run -Werror "${sources[@]}" 2>&1); then
    grep -oE '^[^:]+:[0-9]+' <<<"$findings" | cut -d: -f1 | sort -u | sed 's/^/not formatted: /' >&2
    echo "format-check: run scripts/format-check.sh --fix" >&2
    exit 1
fi
echo "format-check: ${#sources[@]} files formatted"
