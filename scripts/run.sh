#!/usr/bin/env bash
# Installs what is missing, builds, and starts Kestrova from the portable
# folder build/kestrova/. Arguments are passed on ("b" for a windowless run,
# "i" to start hidden in the tray).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
"$here/scripts/build.sh" "$here/build"
exec "$here/build/kestrova/kestrova" "$@"
