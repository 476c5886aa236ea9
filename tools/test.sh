#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

# Every C++ file of the tree must be formatted as .clang-format says.
sources=$(git ls-files '*.cpp' '*.h')
unformatted=$(clang-format --dry-run $sources 2>&1 | grep -c 'warning:' || true)
if [[ "$unformatted" != 0 ]]; then
    clang-format --dry-run $sources 2>&1 | head -40
    echo "clang-format: $unformatted Stellen sind nicht formatiert (clang-format -i …)." >&2
    exit 1
fi

build=${BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DP_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
# The Debian package of that build, unpacked and checked (desktop entry, AppStream data, manual page, dependencies).
bash packaging/check-package.sh "$build"

# The answer flattening and the reader of the help file under libFuzzer (clang, address and undefined-behaviour
# sanitizers), a fixed number of runs from a seed corpus (real answers; the help file the build made), each input
# within 10 s; the corpora are copied so the runs leave the tree as it was.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DP_FUZZ=ON -DBUILD_TESTING=OFF \
    -DP_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target xml2array_fuzz chm_file_fuzz
corpus=$(mktemp -d)
cp fuzz/corpus/* "$corpus"/
build-fuzz/fuzz/xml2array_fuzz -runs=500000 -max_len=8192 -seed=1 -timeout=10 "$corpus" 2>&1 | tail -n 1
rm -rf "$corpus"
corpus=$(mktemp -d)
cp "$build/Quorvex.CHM" "$corpus"/
build-fuzz/fuzz/chm_file_fuzz -runs=100000 -max_len=65536 -seed=1 -timeout=10 "$corpus" 2>&1 | tail -n 1
rm -rf "$corpus"

cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
