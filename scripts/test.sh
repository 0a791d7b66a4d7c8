#!/usr/bin/env bash
# Builds and runs every test: the release build and the static checks, the
# Debian package, the fuzzers, then the ASan+UBSan and TSan builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
jobs=$(nproc)

build() {
    echo "== $1 =="
    cmake --preset "$1"
    cmake --build --preset "$1" -j "$jobs"
}

build release
ctest --preset release -j "$jobs"

echo "== lint =="
bash scripts/lint.sh

# The Debian package, built, checked, installed, run and removed.
echo "== package =="
bash scripts/package.sh --check

# The readers of network datagrams and of the typing format under libFuzzer, a
# fixed time each, starting from the seed corpus in fuzz/corpus/<fuzzer>/. They
# work on a copy in the build folder so that the repository stays clean; a
# crash fails the script and leaves its input in build/fuzz/artifacts/.
build fuzz
mkdir -p build/fuzz/artifacts
for seeds in fuzz/corpus/*/; do
    fuzzer=$(basename "$seeds")
    corpus="build/fuzz/corpus/$fuzzer"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp -R "$seeds." "$corpus"
    echo "-- $fuzzer --"
    "build/fuzz/fuzz/$fuzzer" -max_total_time=30 -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/ "$corpus"
done

build asan
ctest --preset asan -j "$jobs"

build tsan
# Older ThreadSanitizer runtimes cannot map their shadow memory under the
# kernel's high ASLR entropy; running without ASLR avoids that. The preset
# leaves out the web view tests (label webview): see tests/clock/CMakeLists.txt.
setarch "$(uname -m)" -R ctest --preset tsan -j "$jobs"
