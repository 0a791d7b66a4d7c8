#!/usr/bin/env bash
# Builds Mirel and runs it, so that a newcomer sees a clock at once:
# - on a machine without audio inputs, a virtual capture card plays a generated
#   LTC signal (10:00:00:00 at 25 fps, looped) as the device "ltc_demo", and
#   Mirel runs with settings of its own in build/release/demo, selecting it:
#   the user's own settings are never touched;
# - on a machine without a display, Mirel runs under Xvfb for a few seconds and
#   a screenshot is saved.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset release
cmake --build --preset release

build=$PWD/build/release
inputs=$("$build/tools/mirel-decode" --list 2>/dev/null | awk -F'\t' 'NR > 1 && $4 > 0' | wc -l)
if [ "$inputs" -eq 0 ]; then
    demo=$build/demo
    mkdir -p "$demo/config/mirel"
    "$build/tools/mirel-ltcgen" "$demo/ltc.f32" --fps 25 --start 10:00:00:00 \
        --frames 1500 --channels 2 --user 12345678
    cat >"$demo/asound.conf" <<CONF
pcm_type.mirelfile { lib "$build/tools/virtual-card/libasound_module_pcm_mirelfile.so" }
pcm.default { type mirelfile file "/dev/null/none" channels 1 rate 48000 }
pcm.ltc_demo { type mirelfile file "$demo/ltc.f32" channels 2 rate 48000 format "FLOAT_LE" loop true fail_after_ms -1 }
CONF
    export ALSA_CONFIG_PATH=$demo/asound.conf
    export XDG_CONFIG_HOME=$demo/config
    echo '{"audioInput": "ltc_demo"}' >"$XDG_CONFIG_HOME/mirel/preferences.json"
    echo "No audio input here: a virtual capture card plays LTC as \"ltc_demo\"; pick it on the home page." >&2
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/app/mirel"
fi

shot=$build/mirel-screenshot.png
echo "No display here: running Mirel under Xvfb for ten seconds." >&2
# The window opens at the top left with its home page: a click on the first
# input tile opens the clock.
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    "$1" & pid=$!
    sleep 6
    xdotool mousemove 170 303 click 1 mousemove 1200 700 || true
    sleep 4
    import -window root "$2"
    kill -TERM "$pid"
    wait "$pid"' _ "$build/app/mirel" "$shot"
echo "Screenshot of the running program: $shot"
