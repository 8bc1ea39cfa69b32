#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
# Every test runs through scripts/with-test-env.sh: its own D-Bus session with
# an unlocked gnome-keyring (the Secret Service) and, where possible, a network
# namespace that has only the loopback interface, so that peer connections
# never leave this machine. Extra arguments go to ctest (e.g. -R tst_appconfig).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
exec ctest --test-dir "$root/build" --output-on-failure -j2 "$@"
