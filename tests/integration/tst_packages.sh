#!/usr/bin/env bash
# The Debian packages: built with cpack from this build tree, unpacked with dpkg-deb -x into a
# temporary root, checked for their files and computed dependencies, and the installed
# application run from there until it has started the installed server and agent from their
# installed paths and the agent has registered; quitting it ends both. lintian (when present)
# must report no error or warning.
#   tst_packages.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
tmp="$(mktemp -d)"
app_pid=""
cleanup() {
    if [ -n "$app_pid" ]; then kill -KILL "$app_pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    if [ -f "$tmp/home/app.log" ]; then tail -30 "$tmp/home/app.log" >&2; fi
    exit 1
}

(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log" >&2; fail "cpack"; }
app_deb="$(ls "$tmp"/out/velmo-remote_*.deb)"
server_deb="$(ls "$tmp"/out/velmo-rendezvous_*.deb)"
root="$tmp/root"
dpkg-deb -x "$app_deb" "$root"
dpkg-deb -x "$server_deb" "$root"

# Files where the packages promise them.
for f in usr/bin/velmo-remote usr/lib/velmo-remote/agent/velmo-remote-host usr/bin/velmo-rendezvous \
    usr/share/applications/velmo-remote.desktop usr/share/icons/hicolor/scalable/apps/velmo-remote.svg \
    usr/share/metainfo/com.tarnwick.VelmoRemote.metainfo.xml usr/share/velmo-remote/uninstall.sh \
    lib/systemd/system/velmo-rendezvous.service usr/share/doc/velmo-rendezvous/examples/turnserver.conf; do
    [ -e "$root/$f" ] || fail "missing /$f"
done
grep -qx 'ExecStart=/usr/bin/velmo-rendezvous --db /var/lib/velmo-rendezvous/registry.sqlite3 --listen 127.0.0.1:8787' \
    "$root/lib/systemd/system/velmo-rendezvous.service" || fail "unit ExecStart"
grep -qx 'DynamicUser=yes' "$root/lib/systemd/system/velmo-rendezvous.service" || fail "unit user"
# The unit of one instance of several names the installed server and its shared settings.
grep -qx 'ExecStart=/usr/bin/velmo-rendezvous --listen 127.0.0.1:%i --db ${VELMO_DB} --bus ${VELMO_BUS} $VELMO_EXTRA' \
    "$root/lib/systemd/system/velmo-rendezvous@.service" || fail "instance unit ExecStart"
# Dependencies computed by dpkg-shlibdeps, plus the run-time plug-ins named by hand.
app_depends="$(dpkg-deb -f "$app_deb" Depends)"
for d in libqt6core6 libqt6websockets6 libgstreamer1.0-0 libssl3 gstreamer1.0-nice; do
    grep -q "$d" <<<"$app_depends" || fail "velmo-remote does not depend on $d: $app_depends"
done
for d in libsqlite3-0 libpq5 libhiredis; do
    grep -q "$d" <<<"$(dpkg-deb -f "$server_deb" Depends)" || fail "velmo-rendezvous depends on $d"
done
# The programs that take input from the network carry Debian's hardening: position-independent,
# bound at load (full RELRO), fortified string and memory calls.
for f in usr/bin/velmo-remote usr/lib/velmo-remote/agent/velmo-remote-host usr/bin/velmo-rendezvous; do
    readelf -h "$root/$f" | grep -q 'Type:.*DYN' || fail "/$f is not position-independent"
    readelf -d "$root/$f" | grep -q 'FLAGS.*BIND_NOW' || fail "/$f is not bound at load (-z now)"
    readelf -lW "$root/$f" | grep -q 'GNU_RELRO' || fail "/$f has no RELRO segment"
done
# Fortified calls: the application itself makes no string or memory call whose size the
# compiler knows (its buffers are Qt's), so only the agent and the server are checked.
for f in usr/lib/velmo-remote/agent/velmo-remote-host usr/bin/velmo-rendezvous; do
    # Read whole before matching: grep -q would stop at the first hit and, under pipefail,
    # readelf's broken pipe would count as a failure.
    syms="$(readelf -sW --dyn-syms "$root/$f")"
    grep -q '__[a-z_]*_chk@' <<<"$syms" || fail "/$f has no fortified calls"
done
grep -q '^Keywords=' "$root/usr/share/applications/velmo-remote.desktop" || fail "desktop entry without Keywords"
# The server's unpacked binary is stripped and still runs.
[ "$("$root/usr/bin/velmo-rendezvous" --version)" = "velmo-rendezvous $(dpkg-deb -f "$server_deb" Version)" ] ||
    fail "installed server --version"

# The installed application, with nothing pointing it anywhere, finds the installed server
# and agent beside itself.
home="$tmp/home"
mkdir -p "$home"
env -u VELMO_RMAGENT -u VELMO_RENDEZVOUS -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$home" \
    QT_QPA_PLATFORM=offscreen "$root/usr/bin/velmo-remote" >"$home/app.log" 2>&1 &
app_pid=$!
log="$home/.local/share/velmo-remote/desktop.log"
registered=""
for _ in $(seq 300); do
    if [ -f "$log" ] && grep -q "rendezvous: info: device [0-9]\{9\} registered" "$log"; then
        registered=1
        break
    fi
    kill -0 "$app_pid" 2>/dev/null || fail "the installed application ended early"
    sleep 0.1
done
[ -n "$registered" ] || fail "no device registered with the installed server within 30 s"
grep -qF "rendezvous 起動: $root/usr/bin/velmo-rendezvous --listen 127.0.0.1:8787 --db $home/.local/share/velmo-remote/rendezvous/registry.sqlite3" "$log" ||
    fail "server not started from the installed path"
grep -qF "Velmo Remote Host 起動: $root/usr/lib/velmo-remote/agent/velmo-remote-host" "$log" ||
    fail "agent not started from the installed path"

kill -TERM "$app_pid"
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the application did not quit on SIGTERM"
app_pid=""
if (exec 3<>/dev/tcp/127.0.0.1/8787) 2>/dev/null; then fail "the server outlived the application"; fi
pgrep -f "$root/usr/" >/dev/null && fail "a process from the installed tree is still running"

if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error,warning "$app_deb" "$server_deb" || fail "lintian"
fi
echo "PASS: packages"
