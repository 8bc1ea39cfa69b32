#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with CTest.
# The tests get a private D-Bus session with an unlocked gnome-keyring (the
# Secret Service) and, where possible, a network namespace that has only the
# loopback interface, so that peer connections never leave this machine.
# Extra arguments go to ctest (e.g. -R tst_appconfig).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
exec "$root/scripts/with-test-env.sh" ctest --test-dir "$root/build" --output-on-failure -j2 "$@"
