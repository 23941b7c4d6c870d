#!/usr/bin/env bash
# Builds build-bench/ in Release and runs every benchmark: the check pass
# against find, fswatch's poll and inotify monitors and Python watchdog at
# 1,000, 10,000 and 100,000 files (nothing changed and 1 % changed; a fresh
# process, and a running one in ScanMode auto and poll), ReadIni + WriteIni
# alone, the idle CPU per hour and the peak memory of "kestrova b" at
# 100,000 files (bench/memory_bench.sh), and the archiver against gzip -6, bsdtar zip and jlha.
# Usage: scripts/bench.sh [--no-deps] [watch_bench options, e.g. --runs 7]
# Big folders go to a private folder under $TMPDIR (or /tmp), removed at exit.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-bench
if [ "${1:-}" = "--no-deps" ]; then
  shift
else
  "$here/scripts/install-deps.sh" --bench
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" -j2 watch_bench archive_bench kestrova

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrova-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work

echo "== Check pass, ReadIni + WriteIni, growth (watch_bench) =="
"$build/bin/watch_bench" --watchdog "$here/bench/watchdog_scan.py" --kestrova "$build/kestrova" --idle-seconds 600 "$@"
echo
echo "== Peak memory of a running 'kestrova b' at 100,000 files, beside fswatch (memory_bench.sh) =="
"$here/bench/memory_bench.sh" "$build/kestrova" 100000
echo
echo "== Archive: 50 MiB, libunlha32 against gzip -6, bsdtar zip, jlha (archive_bench) =="
"$build/bin/archive_bench" 50
