#!/usr/bin/env bash
# Installs what building and running need (nothing for the tests), builds,
# and starts Kestrova from the portable folder build/kestrova/. Arguments
# are passed on ("b" for a windowless run, "i" to start hidden in the tray).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build"
exec "$here/build/kestrova/kestrova" "$@"
