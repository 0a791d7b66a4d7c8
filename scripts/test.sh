#!/usr/bin/env bash
# Builds and runs every test: the release build, the ASan+UBSan and TSan builds, then the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
for preset in release asan tsan; do
    echo "== $preset =="
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    if [ "$preset" = tsan ]; then
        # Older ThreadSanitizer runtimes cannot map their shadow memory under the
        # kernel's high ASLR entropy; running without ASLR avoids that.
        setarch "$(uname -m)" -R ctest --preset "$preset" -j "$jobs"
    else
        ctest --preset "$preset" -j "$jobs"
    fi
    if [ "$preset" = release ]; then
        echo "== lint =="
        bash scripts/lint.sh
    fi
done

# The readers of network datagrams and of the typing format under libFuzzer, a
# fixed time each, starting from the seed corpus in fuzz/corpus/<fuzzer>/. They
# work on a copy in the build folder so that the repository stays clean; a
# crash fails the script and leaves its input in build/fuzz/artifacts/.
echo "== fuzz =="
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
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
