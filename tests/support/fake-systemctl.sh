#!/usr/bin/env bash
# A recording stand-in for "systemctl --user" used through VELMO_SYSTEMCTL.
#   VELMO_SYSTEMCTL_LOG    file that gets one line per call (the arguments)
#   VELMO_SYSTEMCTL_STATE  directory for its state (active flag, agent pid)
#   VELMO_SYSTEMCTL_RUN=1  "enable --now" and "restart" really start the unit's
#                          ExecStart in the background; "disable --now" stops it
set -u
log="${VELMO_SYSTEMCTL_LOG:-/dev/null}"
state="${VELMO_SYSTEMCTL_STATE:-/tmp}"
echo "$*" >>"$log"
[ "${1:-}" = "--user" ] && shift
unit_file="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user/velmo-remote-agent.service"

stop_agent() {
    if [ -f "$state/pid" ]; then
        kill "$(cat "$state/pid")" 2>/dev/null
        rm -f "$state/pid"
    fi
    rm -f "$state/active"
}

start_agent() {
    stop_agent
    touch "$state/active"
    if [ "${VELMO_SYSTEMCTL_RUN:-0}" = "1" ] && [ -f "$unit_file" ]; then
        line="$(sed -n 's/^ExecStart=//p' "$unit_file" | head -n1)"
        eval "set -- $line"
        "$@" >/dev/null 2>&1 </dev/null &
        echo $! >"$state/pid"
    fi
}

case "${1:-}" in
is-active) [ -f "$state/active" ] && { echo active; exit 0; } || { echo inactive; exit 3; } ;;
enable) [ "${2:-}" = "--now" ] && start_agent ;;
restart) start_agent ;;
disable) [ "${2:-}" = "--now" ] && stop_agent ;;
esac
exit 0
