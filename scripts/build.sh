#!/usr/bin/env bash
# Configures and builds into build/ (Release with debug info by default).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
extra=()
if [ "${CI:-}" = "true" ]; then extra+=(-DVELMO_WERROR=ON); fi
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "${extra[@]}" >/dev/null
cmake --build "$root/build" -j"$(nproc)"
