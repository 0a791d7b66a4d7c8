#!/usr/bin/env bash
# The installed program reads a virtual card fed by the installed mirel-ltcgen until the frame
# rate is saved; asked to end, it ends cleanly and keeps the user's settings.
# Usage: installed_program_test.sh BUILD_DIR ALSA_PLUGIN
set -euo pipefail

root=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$root"' EXIT
pid=

fail() { [ ! -e "$root/log" ] || cat "$root/log" >&2; echo "FAIL: $*" >&2; exit 1; }
# Whether "$@" comes true within 20 s, giving up early if the program ends.
within20s() {
    for _ in $(seq 200); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    "$@"
}
window() { xwininfo -root -tree 2>/dev/null | grep -q '"Mirel"'; }

DESTDIR=$root cmake --install "$1" --prefix /usr >/dev/null
for file in usr/bin/{mirel,mirel-decode,mirel-ltcgen} usr/share/applications/mirel.desktop \
    usr/share/mirel/{mirelweb.ui,MainMenu.ui,MoviePlayback.ui,html/home.html,html/mirel4bgd.png} \
    usr/share/icons/hicolor/scalable/apps/mirel.svg; do
    [ -e "$root/$file" ] || fail "$file is not installed"
done
desktop-file-validate "$root/usr/share/applications/mirel.desktop" || fail "the launcher entry is invalid"

# The only card: 10 s of 25 fps LTC, looped; the default fails to open, keeping the machine's out.
"$root/usr/bin/mirel-ltcgen" "$root/ltc.f32" --fps 25 --start 10:00:00:00 --seconds 10 ||
    fail "mirel-ltcgen wrote no signal"
cat >"$root/asound.conf" <<CONF
pcm_type.mirelfile { lib "$2" }
pcm.default { type mirelfile file "/dev/null/none" channels 1 rate 48000 }
pcm.ltc_card { type mirelfile file "$root/ltc.f32" channels 1 rate 48000 loop true }
CONF
export ALSA_CONFIG_PATH=$root/asound.conf

# Settings the user made before: the clock must float from the start and keep them.
export XDG_CONFIG_HOME=$root/config
settings=$XDG_CONFIG_HOME/mirel/preferences.json
mkdir -p "$XDG_CONFIG_HOME/mirel"
echo '{"OnTop": "1", "TextColor": "#ff8800", "audioInput": "ltc_card"}' >"$settings"

"$root/usr/bin/mirel" 2>"$root/log" &
pid=$!
within20s window || fail "no clock window"
sleep 1 # the home page loads
# The rate is known once the card's frames run through a second, and saved while it runs.
within20s grep -q '"fpsString": *"25"' "$settings" ||
    fail "the card's timecode never reached the program's saved settings"

kill -TERM "$pid"
wait "$pid" || fail "the program ended with status $?"
pid=
if grep -q "Could not" "$root/log"; then fail "the program could not load a resource"; fi
grep -q '"TextColor": *"#ff8800"' "$settings" || fail "the user's settings were lost"

# A file on the command line is a movie to open, and the source, even one that cannot be read.
"$root/usr/bin/mirel" "$root/clip.mov" 2>"$root/log" &
pid=$!
within20s grep -q "\"audioInput\": *\"$root/clip.mov\"" "$settings" ||
    fail "the file on the command line did not become the source"
kill -TERM "$pid"
wait "$pid" || fail "the program ended with status $?"
pid=
grep -q "^.* Error opening movie$" "$root/log" || fail "the unreadable movie was not reported"
echo "PASS"
