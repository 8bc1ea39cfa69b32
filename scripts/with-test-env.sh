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
trap 'rm -rf "$keyring_home"' EXIT
export XDG_DATA_HOME_KEYRING="$keyring_home"
eval "$(printf '\n' | HOME="$keyring_home" XDG_DATA_HOME="$keyring_home/.local/share" \
    gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" || true
export GNOME_KEYRING_CONTROL
"$@"
