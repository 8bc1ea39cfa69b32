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
stops=()
# Every process the test starts carries this mark. A test that dies (a sanitizer report,
# an abort) leaves its agents and servers behind, and they keep CTest's output pipe open
# until its time limit: they are found by the mark and ended with it.
export VELMO_TEST_RUN="$$.$(date +%s%N)"
cleanup() {
    for c in "${stops[@]}"; do eval "$c" >/dev/null 2>&1 || true; done
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for e in /proc/[0-9]*/environ; do
        p="${e#/proc/}"
        p="${p%/environ}"
        [ "$p" != "$$" ] || continue
        if grep -qzx "VELMO_TEST_RUN=$VELMO_TEST_RUN" "$e" 2>/dev/null; then
            kill -9 "$p" 2>/dev/null || true
        fi
    done
    rm -rf "$keyring_home"
    [ -z "${pg_root:-}" ] || rm -rf "$pg_root"
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
# A test whose viewer needs an X display of its own (VELMO_TEST_VIEWER_DISPLAY=1): a second,
# small Xvfb, exported as VELMO_VIEWER_DISPLAY.
if [ "${VELMO_TEST_VIEWER_DISPLAY:-}" = "1" ]; then
    exec {vfd}<> <(:)
    Xvfb -displayfd "$vfd" -screen 0 800x600x24 -nolisten tcp -noreset >"$keyring_home/xvfb-viewer.log" 2>&1 &
    pids+=($!)
    read -r -t 20 -u "$vfd" vnum || { echo "Xvfb did not start" >&2; cat "$keyring_home/xvfb-viewer.log" >&2; exit 1; }
    export VELMO_VIEWER_DISPLAY=":$vnum"
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
# A test of the host on a wlroots desktop asks for a headless sway (VELMO_TEST_SWAY=1):
# software rendering, one virtual output of VELMO_TEST_SWAY_SIZE (1280x720), its Xwayland.
# sway refuses to run as root: then it runs as an unprivileged user of its own, and the
# test (root) reaches its sockets anyway. Exports WAYLAND_DISPLAY (an absolute path),
# VELMO_TEST_SWAYSOCK and VELMO_TEST_XWAYLAND (the Xwayland's DISPLAY). Without sway
# installed nothing is exported, and the test skips saying so.
if [ "${VELMO_TEST_SWAY:-}" = "1" ] && command -v sway >/dev/null; then
    wl_root="$(mktemp -d)"
    as_wl=()
    if [ "$(id -u)" -eq 0 ]; then
        id velmo-compositor >/dev/null 2>&1 ||
            useradd --system --no-create-home --shell /usr/sbin/nologin velmo-compositor
        chown velmo-compositor "$wl_root"
        as_wl=(setpriv --reuid=velmo-compositor --regid=velmo-compositor --clear-groups)
    fi
    chmod 0700 "$wl_root"
    {
        echo "output HEADLESS-1 resolution ${VELMO_TEST_SWAY_SIZE:-1280x720} bg #000000 solid_color"
        echo "xwayland enable"
        echo "default_border none"
        echo "focus_follows_mouse no"
        # Xwayland lets in its own user only: the test (root) is let in too.
        echo "exec sh -c 'xhost +si:localuser:$(id -un) >/dev/null; echo \"\$DISPLAY\" > \"\$XDG_RUNTIME_DIR/display\"'"
    } >"$wl_root/config"
    "${as_wl[@]}" env -i PATH=/usr/bin:/bin HOME="$wl_root" XDG_RUNTIME_DIR="$wl_root" WLR_BACKENDS=headless \
        WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 sway -c "$wl_root/config" >"$keyring_home/sway.log" 2>&1 &
    pids+=($!)
    stops+=("rm -rf $wl_root")
    for _ in $(seq 300); do [ -s "$wl_root/display" ] && break; sleep 0.1; done
    wl_socket="$(ls "$wl_root"/wayland-* 2>/dev/null | grep -v '\.lock$' | head -n 1 || true)"
    [ -n "$wl_socket" ] || { echo "sway did not start" >&2; cat "$keyring_home/sway.log" >&2; exit 1; }
    export WAYLAND_DISPLAY="$wl_socket"
    VELMO_TEST_SWAYSOCK="$(ls "$wl_root"/sway-ipc.* 2>/dev/null | head -n 1)"
    VELMO_TEST_XWAYLAND="$(cat "$wl_root/display" 2>/dev/null)"
    export VELMO_TEST_SWAYSOCK VELMO_TEST_XWAYLAND VELMO_TEST_SWAY_LOG="$keyring_home/sway.log"
fi
# A test of the host on a GNOME desktop asks for a headless Mutter (VELMO_TEST_MUTTER=1):
# PipeWire and WirePlumber first (Mutter's screen casts stream through them), then mutter
# with one virtual monitor of VELMO_TEST_MUTTER_SIZE (1280x720) and its Xwayland, on this
# D-Bus session, in a runtime directory of its own. Exports WAYLAND_DISPLAY (an absolute
# path), VELMO_TEST_MUTTER_XWAYLAND (the Xwayland's DISPLAY, XAUTHORITY its cookie),
# VELMO_TEST_MUTTER_PID, VELMO_TEST_PIPEWIRE_PID and VELMO_TEST_MUTTER_LOG. Without mutter, pipewire or wireplumber nothing is exported, and
# the test skips saying so.
if [ "${VELMO_TEST_MUTTER:-}" = "1" ] && command -v mutter >/dev/null && command -v pipewire >/dev/null &&
    command -v wireplumber >/dev/null; then
    export XDG_RUNTIME_DIR="$keyring_home/run"
    mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
    HOME="$keyring_home" pipewire >"$keyring_home/pipewire.log" 2>&1 &
    VELMO_TEST_PIPEWIRE_PID=$!
    pids+=($!)
    for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
    HOME="$keyring_home" wireplumber >"$keyring_home/wireplumber.log" 2>&1 &
    pids+=($!)
    HOME="$keyring_home" mutter --headless --wayland --wayland-display=velmo-mutter \
        --virtual-monitor "${VELMO_TEST_MUTTER_SIZE:-1280x720}" >"$keyring_home/mutter.log" 2>&1 &
    VELMO_TEST_MUTTER_PID=$!
    pids+=($!)
    owned() {
        gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
            -m org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
    }
    for _ in $(seq 300); do
        owned org.gnome.Mutter.RemoteDesktop && owned org.gnome.Mutter.ScreenCast &&
            [ -S "$XDG_RUNTIME_DIR/velmo-mutter" ] && grep -q "X11 display" "$keyring_home/mutter.log" && break
        sleep 0.1
    done
    owned org.gnome.Mutter.RemoteDesktop || { echo "mutter did not start" >&2; cat "$keyring_home/mutter.log" >&2; exit 1; }
    export WAYLAND_DISPLAY="$XDG_RUNTIME_DIR/velmo-mutter"
    # Mutter's Xwayland lets in the holders of its cookie only.
    XAUTHORITY="$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* 2>/dev/null | head -n 1)"
    export XAUTHORITY
    VELMO_TEST_MUTTER_XWAYLAND="$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$keyring_home/mutter.log" | head -n 1)"
    export VELMO_TEST_MUTTER_XWAYLAND VELMO_TEST_MUTTER_PID VELMO_TEST_PIPEWIRE_PID
    export VELMO_TEST_MUTTER_LOG="$keyring_home/mutter.log"
fi
# Tests of several server instances ask for the shared services they run on, each a private
# instance on loopback or a socket in a temporary directory, stopped when the test ends:
# PostgreSQL (VELMO_TEST_POSTGRES=1 → VELMO_TEST_PG_URL), Redis (VELMO_TEST_REDIS=1 →
# VELMO_TEST_REDIS_URL, VELMO_TEST_REDIS_PID) and coturn with a shared secret
# (VELMO_TEST_TURN=1 → VELMO_TEST_TURN_URL, VELMO_TEST_TURN_SECRET).
if [ "${VELMO_TEST_POSTGRES:-}" = "1" ]; then
    pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
    pg_root="$(mktemp -d)"
    as_pg=()
    # PostgreSQL refuses to run as root: its files then belong to the postgres user (which may
    # not enter the caller's directory, hence the cd).
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres "$pg_root"
        as_pg=(runuser -u postgres --)
    fi
    cd "$pg_root"
    "${as_pg[@]}" "$pg_bin/initdb" -D "$pg_root/data" -U velmo --auth=trust -E UTF8 --no-sync \
        >"$keyring_home/pg-init.log" 2>&1 || { echo "initdb failed" >&2; cat "$keyring_home/pg-init.log" >&2; exit 1; }
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$pg_root/data" -l "$pg_root/log" -w -t 30 \
        -o "-k $pg_root -c listen_addresses= -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
        start >/dev/null || { echo "postgresql did not start" >&2; cat "$pg_root/log" >&2; exit 1; }
    stops+=("${as_pg[*]} $pg_bin/pg_ctl -D $pg_root/data -m immediate stop")
    "${as_pg[@]}" "$pg_bin/createdb" -h "$pg_root" -U velmo velmo
    export VELMO_TEST_PG_URL="postgresql:///velmo?host=$pg_root&user=velmo"
    export VELMO_TEST_PG_HOST="$pg_root" VELMO_TEST_PG_BIN="$pg_bin"
    cd - >/dev/null
fi
if [ "${VELMO_TEST_REDIS:-}" = "1" ]; then
    redis_sock="$keyring_home/redis.sock"
    redis-server --port 0 --unixsocket "$redis_sock" --unixsocketperm 700 --save '' --appendonly no \
        --daemonize no >"$keyring_home/redis.log" 2>&1 &
    pids+=($!)
    export VELMO_TEST_REDIS_PID=$!
    for _ in $(seq 100); do redis-cli -s "$redis_sock" ping >/dev/null 2>&1 && break; sleep 0.1; done
    redis-cli -s "$redis_sock" ping >/dev/null 2>&1 || { echo "redis did not start" >&2; cat "$keyring_home/redis.log" >&2; exit 1; }
    export VELMO_TEST_REDIS_URL="unix://$redis_sock"
fi
if [ "${VELMO_TEST_TURN:-}" = "1" ]; then
    turn_port="$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    VELMO_TEST_TURN_SECRET="$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')"
    # Relays on loopback only: peers there are allowed, the ports are few.
    turnserver -n --listening-ip=127.0.0.1 --relay-ip=127.0.0.1 --listening-port="$turn_port" \
        --min-port=40000 --max-port=40999 --use-auth-secret --static-auth-secret="$VELMO_TEST_TURN_SECRET" \
        --realm=velmo.test --no-tls --no-dtls --no-tcp-relay --allow-loopback-peers --no-cli --no-stun-backward-compatibility \
        --userdb="$keyring_home/turndb" --pidfile="$keyring_home/turn.pid" --log-file=stdout --simple-log >"$keyring_home/turn.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do ss -Hlun "sport = :$turn_port" | grep -q . && break; sleep 0.1; done
    ss -Hlun "sport = :$turn_port" | grep -q . || { echo "turnserver did not start" >&2; cat "$keyring_home/turn.log" >&2; exit 1; }
    export VELMO_TEST_TURN_URL="turn:127.0.0.1:$turn_port?transport=udp" VELMO_TEST_TURN_SECRET
    export VELMO_TEST_TURN_LOG="$keyring_home/turn.log"
fi
"$@"
