#!/usr/bin/env bash
# Configures and builds Kestrova into build/ (or the folder given as $1).
# Extra CMake arguments may follow. Warnings are errors here.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
cmake -S "$here" -B "$build" -G Ninja -DKESTROVA_WERROR=ON "$@" >/dev/null
ninja -C "$build"
