#!/usr/bin/env bash
# The property tests at length, built in build/: window edits during passes
# (ROUNDS random rounds per seed, default 500; the suite runs 50), then the
# watcher stopped and killed at random (KILL_ROUNDS, default 2000; the
# suite runs 40).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build" >/dev/null
cd "$here/build"
KESTROVA_PROPERTY_ROUNDS=${1:-500} KESTROVA_APP_DIR="$here/build/kestrova" \
  QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 \
  ./tests/ui_pass_edit_test --gtest_filter='Seeds/PassEditProperty.*'
KESTROVA_KILL_ROUNDS=${2:-2000} KESTROVA_APP_DIR="$here/build/kestrova" LC_ALL=C.UTF-8 \
  ./tests/reliability_test --gtest_filter='KillFaults.EveryChangeNotifiedOnce*'
