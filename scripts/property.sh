#!/usr/bin/env bash
# The edit-during-pass property test at length: ROUNDS random rounds per
# seed (default 500; the suite runs 50), built in build/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh" "$here/build" >/dev/null
cd "$here/build"
KESTROVA_PROPERTY_ROUNDS=${1:-500} KESTROVA_APP_DIR="$here/build/kestrova" \
  QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 \
  ./tests/ui_pass_edit_test --gtest_filter='Seeds/PassEditProperty.*'
