#!/usr/bin/env bash
# Builds the program, its tools and every test with the address and undefined-behaviour sanitizers in a build folder
# of its own and runs the tests there. A finding (a use after free, an overflow, undefined behaviour) ends the process
# that made it, so its test fails, with the report in the test's output. It takes about as long again as the normal
# build and tests of tools/test.sh, so it is a command of its own:
#
#   tools/sanitize.sh [ctest arguments, e.g. -R fontest]
#
# Leaks are not reported: Qt, fontconfig and the ODBC drivers keep memory to the end of the process by design.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

build=${BUILD_DIR:-build-sanitize}
cmake -S . -B "$build" -G Ninja -DP_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DP_SANITIZE=ON \
    -DP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 1800 "$@"
