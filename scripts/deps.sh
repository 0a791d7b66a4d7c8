#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Mirel needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config git
    # the tools: audio files, and libltc's encoder for mirel-ltcgen
    libsndfile1-dev libltc-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    # fuzzing and sanitizers with clang
    clang libclang-rt-dev clang-format clang-tidy
    # platform layer
    libglib2.0-dev nlohmann-json3-dev
    # audio capture; alsa-lib headers also build the virtual capture card
    portaudio19-dev libasound2-dev
    # DNS-SD on Avahi; the tests run a private bus and daemon (dbus-send asks it whether it runs)
    libavahi-client-dev libavahi-glib-dev avahi-daemon dbus-daemon dbus-bin
    # the clock's web view and pages: jQuery is served from libjs-jquery, the
    # images are drawn as SVG and rendered at build time; its tests run under Xvfb
    libwebkit2gtk-4.1-dev libgtk-3-dev libjs-jquery librsvg2-bin xvfb xauth
    # the global hot key and typing: X11, XTest and XInput; setxkbmap for the
    # layouts the typing tests switch to
    libx11-dev libxtst-dev libxi-dev x11-xkb-utils
    # movies: libavformat reads their tracks, libavcodec, libswscale and
    # libswresample play them; the tests make movies with ffmpeg
    libavformat-dev libavutil-dev libavcodec-dev libswscale-dev libswresample-dev ffmpeg
    # the installed program's test: the launcher entry's checker, and xwininfo
    # to see the clock window appear
    desktop-file-utils x11-utils
    # scripts/run.sh opens the clock and takes a screenshot when there is no display
    imagemagick xdotool
    # the Debian package: dpkg-shlibdeps for its dependencies, and its checkers
    dpkg-dev lintian appstream man-db
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
