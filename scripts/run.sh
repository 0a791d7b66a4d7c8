#!/usr/bin/env bash
# Builds Mirel and runs it: the desktop program on the current display. With
# no display to show it on, it makes a ten-second LTC signal and decodes it
# with mirel-decode instead.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset release
cmake --build --preset release

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec build/release/app/mirel
fi

echo "No display: decoding a test signal with mirel-decode instead." >&2
sample="build/release/sample-ltc.wav"
build/release/tests/support/ltc-gen "$sample" --fps 25 --start 10:00:00:00 --frames 250 --user 12345678
build/release/tools/mirel-decode "$sample"
