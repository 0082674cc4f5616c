#!/usr/bin/env bash
# Prints the share of test code: lines of C++, scripts and Python that git tracks, blank lines
# and comments left out; tests are everything under tests/ (fuzz targets included) and any
# *_test.cpp, code is everything else, benchmarks and tools included.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
count() { grep -E '\.(cpp|hpp|cc|h|py|sh)$' | xargs -r cat | grep -cvE '^\s*($|//|#|/\*|\*)'; }
all=$(git ls-files | count)
tests=$(git ls-files | grep -E '(^|/)(tests?|fuzz)/|_test\.(cpp|cc)$' | count)
awk -v t="$tests" -v a="$all" \
    'BEGIN { printf "test code: %d lines, code: %d lines, share %.3f\n", t, a - t, t / (a - t) }'
