#!/usr/bin/env bash
# Builds Mirel and runs it. For now Mirel is its decoding tool: this makes a
# ten-second LTC signal and decodes it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset release
cmake --build --preset release

sample="build/release/sample-ltc.wav"
build/release/tests/support/ltc-gen "$sample" --fps 25 --start 10:00:00:00 --frames 250 --user 12345678
build/release/tools/mirel-decode "$sample"
