#!/usr/bin/env bash
# Format and static checks over the project's own C++ sources.
# Needs a configured release build (for compile_commands.json).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' | grep -v '^fuzz/corpus/')
clang-format --dry-run --Werror "${sources[@]}"

# clang-tidy reports a configuration it cannot read and then goes on with its defaults.
if clang-tidy --dump-config 2>&1 >/dev/null | grep -q error; then
    echo "lint: .clang-tidy cannot be read" >&2
    exit 1
fi
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' | grep -v -E '^(tests|bench|fuzz)/')
clang-tidy --quiet -p build/release "${units[@]}"
