#!/usr/bin/env bash
# Installs what is missing (the test tools and mail servers included),
# builds, and runs the whole test suite.
# KESTROVA_SANITIZE=1 builds into build-asan/ with AddressSanitizer and
# UndefinedBehaviorSanitizer instead.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" --test
if [ "${KESTROVA_SANITIZE:-0}" = 1 ]; then
  build=$here/build-asan
  "$here/scripts/build.sh" "$build" -DKESTROVA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  build=$here/build
  "$here/scripts/build.sh" "$build"
fi
(cd "$build" && ctest --output-on-failure -j2 "${@}")
# Once in Release as well, the way a packager builds: every target, then
# the Debian package, checked by lintian (build-package/, dist/).
if [ "${KESTROVA_SANITIZE:-0}" != 1 ] && [ "${KESTROVA_PACKAGE_IN_TESTS:-1}" != 0 ]; then
  "$here/scripts/package.sh" --no-deps -DKESTROVA_WERROR=ON
fi
# A short run of every fuzz target (clang and libFuzzer, built in
# build-fuzz/): about five minutes on two cores. KESTROVA_FUZZ_IN_TESTS=0
# leaves it out.
if [ "${KESTROVA_FUZZ_IN_TESTS:-1}" != 0 ]; then
  FUZZ_JOBS=2 "$here/scripts/fuzz.sh" 20
fi
