#!/usr/bin/env bash
# Runs a command inside the test environment: loopback-only network namespace
# (when permitted), private D-Bus session, unlocked keyring, headless Qt.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ -z "${VELMO_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
    export VELMO_IN_NETNS=1
    exec unshare -n -- bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export VELMO_ICE_ADDRESSES="${VELMO_ICE_ADDRESSES:-127.0.0.1}"
export GST_REGISTRY="${GST_REGISTRY:-$root/build/gst-registry.bin}"
if [ -z "${VELMO_IN_DBUS:-}" ]; then
    export VELMO_IN_DBUS=1
    exec dbus-run-session -- "$0" "$@"
fi
# Unlock a fresh keyring with an empty password; its files live in a temporary home.
keyring_home="$(mktemp -d)"
export XDG_DATA_HOME_KEYRING="$keyring_home"
eval "$(printf '\n' | HOME="$keyring_home" XDG_DATA_HOME="$keyring_home/.local/share" \
    gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" || true
export GNOME_KEYRING_CONTROL

# A test that shares a screen asks for a real X server (VELMO_TEST_DISPLAY=1):
# Xvfb with RandR, XTest, MIT-SHM and DAMAGE at 1920x1080, found through -displayfd.
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$keyring_home"
}
trap cleanup EXIT
# Other tests never reach the caller's own display.
[ "${VELMO_TEST_DISPLAY:-}" = "1" ] || unset DISPLAY
if [ "${VELMO_TEST_DISPLAY:-}" = "1" ]; then
    exec {dfd}<> <(:)
    Xvfb -displayfd "$dfd" -screen 0 "${VELMO_TEST_SCREEN:-1920x1080x24}" +extension RANDR -nolisten tcp \
        -noreset >"$keyring_home/xvfb.log" 2>&1 &
    pids+=($!)
    read -r -t 20 -u "$dfd" dnum || { echo "Xvfb did not start" >&2; cat "$keyring_home/xvfb.log" >&2; exit 1; }
    export DISPLAY=":$dnum"
fi
# A test that plays or records sound asks for a private sound server (VELMO_TEST_SOUND=1):
# PulseAudio with a null sink as the default device, so its monitor records what is played.
if [ "${VELMO_TEST_SOUND:-}" = "1" ]; then
    export XDG_RUNTIME_DIR="$keyring_home/run"
    mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse.sock"
    HOME="$keyring_home" pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
        --load="module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse.sock auth-anonymous=1" \
        --load="module-null-sink sink_name=velmo_null" >"$keyring_home/pulse.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null 2>&1 || { echo "pulseaudio did not start" >&2; cat "$keyring_home/pulse.log" >&2; exit 1; }
fi
"$@"
