#!/usr/bin/env bash
# Installs the resident agent for the current user, as the application's
# "install resident agent" does: copies velmo-remote-host to
# ~/.local/lib/velmo-remote/resident-agent, writes the systemd user unit
# velmo-remote-agent.service and enables it (started now and at login).
#
#   deploy/linux/install.sh [PATH/TO/velmo-remote-host] [SERVER_URL]
#
# Without a path: build/host/velmo-remote-host of this checkout, else the
# installed copy in /usr/local/lib or /usr/lib.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

src="${1:-}"
if [ -z "$src" ]; then
    for c in "$root/build/host/velmo-remote-host" "$HOME/.local/lib/velmo-remote/agent/velmo-remote-host" \
        /usr/local/lib/velmo-remote/agent/velmo-remote-host /usr/lib/velmo-remote/agent/velmo-remote-host; do
        if [ -x "$c" ]; then src="$c"; break; fi
    done
fi
if [ -z "$src" ] || [ ! -x "$src" ]; then
    echo "velmo-remote-host not found; build first (scripts/build.sh) or pass its path" >&2
    exit 1
fi
server="${2:-}"

data="${XDG_DATA_HOME:-$HOME/.local/share}/velmo-remote"
dest="$HOME/.local/lib/velmo-remote/resident-agent"
unit_dir="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
mkdir -p "$data" "$unit_dir" "$(dirname "$dest")"
rm -rf "$dest"
mkdir -p "$dest"
cp -a "$src" "$dest/velmo-remote-host"

# systemd quoting of one ExecStart word.
quote() {
    local w="$1"
    w="${w//\\/\\\\}"
    w="${w//\"/\\\"}"
    w="${w//%/%%}"
    w="${w//\$/\$\$}"
    printf '"%s"' "$w"
}
exec_start="$(quote "$dest/velmo-remote-host") $(quote --data) $(quote "$data")"
if [ -n "$(printf '%s' "$server" | tr -d ' \t')" ]; then
    exec_start="$exec_start $(quote --server) $(quote "$server")"
fi
log="${data//%/%%}/agent.log"

# Substituted without sed so that no character of a path needs escaping.
template="$(cat "$here/velmo-remote-agent.service.in")"
template="${template//@EXEC_START@/$exec_start}"
template="${template//@AGENT_LOG@/$log}"
printf '%s\n' "$template" >"$unit_dir/velmo-remote-agent.service"

systemctl --user daemon-reload
systemctl --user enable --now velmo-remote-agent.service
echo "resident agent installed: $dest (unit $unit_dir/velmo-remote-agent.service)"
