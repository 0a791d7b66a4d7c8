#!/usr/bin/env bash
# Runs PROGRAM on the display until its window shows a page (the screen is no
# longer one colour), then ends it and saves the screen as SCREENSHOT.
# Usage: painted.sh PROGRAM SCREENSHOT
set -euo pipefail
"$1" 2>"$2.log" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
for _ in $(seq 150); do
    sleep 0.2
    kill -0 "$pid" 2>/dev/null || { cat "$2.log" >&2; exit 1; }
    import -window root "$2" 2>/dev/null || continue
    # The home page's text and tiles below the menu and address bars of the
    # window (640x460 at the top left, without a window manager): many colours.
    colours=$(convert "$2" -crop 560x280+20+150 +repage -format '%k' info:)
    if [ "$colours" -gt 16 ]; then exit 0; fi
done
cat "$2.log" >&2
exit 1
