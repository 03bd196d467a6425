#!/usr/bin/env bash
# Fails when a C or C++ source of the project differs from what .clang-format makes of it.
set -u
clang_format=${1:?clang-format}
root=${2:?source root}
cd "$root" || exit 1
files=$(git ls-files -- '*.h' '*.hpp' '*.cpp' '*.cc' 2>/dev/null)
[ -n "$files" ] || files=$(find library simulator tests bench testtool -name '*.h' -o -name '*.cpp' 2>/dev/null)
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
"$clang_format" --dry-run --Werror $files
