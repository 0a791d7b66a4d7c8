#!/usr/bin/env bash
# Builds and runs every test: the release build, then the ASan+UBSan and TSan builds.
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
