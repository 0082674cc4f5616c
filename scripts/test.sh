#!/usr/bin/env bash
# Sets the machine up (as root) and runs the whole test suite: a warnings-as-errors build,
# then the same tests under AddressSanitizer/UndefinedBehaviorSanitizer and, for the
# threaded parts, under ThreadSanitizer. Exits non-zero on the first failing stage.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)

stage() { printf '\n=== %s\n' "$*"; }

stage "format check"
if command -v clang-format >/dev/null; then
    git -C "$root" ls-files '*.cpp' '*.hpp' '*.c' '*.h' |
        (cd "$root" && xargs clang-format --dry-run --Werror)
fi

stage "build and test"
"$root/scripts/setup.sh" "$root/build" -DWARNINGS_AS_ERRORS=ON
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

stage "AddressSanitizer and UndefinedBehaviorSanitizer"
"$root/scripts/setup.sh" "$root/build-asan" -DWARNINGS_AS_ERRORS=ON -DENABLE_SANITIZERS=ON \
    -DBUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" \
    -LE "deploy|slow"

stage "ThreadSanitizer"
"$root/scripts/setup.sh" "$root/build-tsan" -DWARNINGS_AS_ERRORS=ON -DENABLE_TSAN=ON \
    -DBUILD_BENCHMARKS=OFF
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$root/build-tsan" --output-on-failure \
    -j "$jobs" -L "threads"
