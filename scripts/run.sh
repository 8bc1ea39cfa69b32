#!/usr/bin/env bash
# Installs what is missing, builds, and starts Velmo Remote.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
export VELMO_RMAGENT="${VELMO_RMAGENT:-$root/build/host/velmo-remote-host}"
# With the default server (http://127.0.0.1:8787) and nothing listening there, the app
# starts this server itself and ends it when it quits.
export VELMO_RENDEZVOUS="${VELMO_RENDEZVOUS:-$root/build/server/velmo-rendezvous}"
exec "$root/build/desktop/src/app/velmo-remote" "$@"
