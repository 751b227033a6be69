#!/usr/bin/env bash
# Fails when a tracked C or C++ source is not in the project's clang-format
# style (.clang-format at the root).
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
