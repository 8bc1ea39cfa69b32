#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need,
# only those that are missing. Safe to run again. Arguments are more packages that
# one script needs (e.g. the fuzzing compiler).
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config
    # Qt 6
    qt6-base-dev qt6-base-dev-tools qt6-websockets-dev libgl-dev qt6-qpa-plugins
    # Qt's own Japanese texts (file dialogs, standard buttons)
    qt6-translations-l10n
    # WebRTC and media (webrtcbin, ICE, decoders, test encoders)
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
    gstreamer1.0-nice gstreamer1.0-libav
    # the viewer's conversion of decoded frames for the screen
    libswscale-dev
    # crypto, JPEG, secret store, Markdown, rendezvous registry
    libssl-dev libturbojpeg0-dev libsecret-1-dev libcmark-dev libsqlite3-dev
    # the rendezvous server beyond one machine: PostgreSQL registry, Redis bus
    libpq-dev libhiredis-dev
    # X11 window-manager hints of the host-side windows (sticky prompts)
    libxcb1-dev
    # the real host: capture (SHM, damage, RandR, cursor, raw pointer motion), input (XTest), sound (PulseAudio API)
    libx11-dev libxext-dev libxdamage-dev libxfixes-dev libxrandr-dev libxi-dev libxtst-dev libpulse-dev libjpeg-dev
    gstreamer1.0-pulseaudio gstreamer1.0-x
    # the real host on Wayland: the client library, protocol descriptions and their code
    # generator, XKB keymaps for the virtual keyboard
    libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev xkb-data
    # faster rebuilds; the format check
    ccache clang-format
    # Debian packages (scripts/package.sh): dpkg-shlibdeps, lintian
    dpkg-dev lintian
    # running the tests: private D-Bus with a keyring, X server, Japanese font, tools the tests call
    dbus dbus-x11 gnome-keyring libsecret-tools xvfb xauth fonts-noto-cjk python3 iproute2 util-linux procps
    pulseaudio pulseaudio-utils xdotool x11-utils x11-xserver-utils sox tk
    # the Wayland tests: a headless sway (wlroots) with its Xwayland, and a Wayland client window
    sway xwayland qt6-wayland
    # the GNOME tests and the host on GNOME: a headless Mutter, its screen casts through
    # PipeWire (WirePlumber the session manager) into GStreamer's pipewiresrc; gdbus
    mutter pipewire pipewire-bin wireplumber gstreamer1.0-pipewire libglib2.0-bin
    # the portal tests: the real desktop portal front end, and Python's D-Bus for the
    # stand-in portal back end the test starts
    xdg-desktop-portal python3-dbus python3-gi
    # gst-discoverer-1.0: the recording tests open the files as a player would
    gstreamer1.0-plugins-base-apps
    # the servers the tests of several rendezvous instances and of relaying start privately
    postgresql redis-server redis-tools coturn
)

packages+=("$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
# Another apt run (an unattended upgrade, a second checkout installing) holds the lock for a
# while: wait for it rather than fail, and try again a few times.
for attempt in 1 2 3; do
    if $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
            --no-install-recommends "${missing[@]}"; then
        exit 0
    fi
    echo "apt-get failed (attempt $attempt); trying again" >&2
    sleep 15
done
exit 1
