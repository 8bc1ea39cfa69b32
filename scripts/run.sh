#!/usr/bin/env bash
# Installs what is missing, builds, and starts Velmo Remote.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
export VELMO_RMAGENT="${VELMO_RMAGENT:-$root/build/host/velmo-remote-host}"
exec "$root/build/desktop/src/app/velmo-remote" "$@"
