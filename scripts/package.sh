#!/usr/bin/env bash
# Builds the Debian packages into dist/ (CPack DEB, configuration in
# deploy/linux/Packaging.cmake):
#   dist/velmo-remote_VERSION_ARCH.deb      application, agent, desktop entry, icon, metainfo, uninstaller
#   dist/velmo-rendezvous_VERSION_ARCH.deb  server, systemd system unit, sample coturn configuration
# Reuses build/ (only the three programs are built); runs lintian when it is installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
extra=()
if [ "${CI:-}" = "true" ]; then extra+=(-DVELMO_WERROR=ON); fi
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "${extra[@]}" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target velmo-remote velmo-remote-host velmo-rendezvous
rm -rf "$root/build/cpack"
(cd "$root/build" && cpack -G DEB -B "$root/build/cpack" >/dev/null)
mkdir -p "$root/dist"
rm -f "$root"/dist/velmo-remote_*.deb "$root"/dist/velmo-rendezvous_*.deb
cp "$root"/build/cpack/*.deb "$root/dist/"
ls -1 "$root"/dist/*.deb
if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error,warning "$root"/dist/*.deb
fi
