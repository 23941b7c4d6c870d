#!/bin/sh
# side_by_side.sh PROGRAM N: runs a GoogleTest program as N shards at once
# and fails when any shard fails. For programs whose cases mostly wait (on
# mail servers, on the real program's passes and their settling waits):
# run one after another, they would hold one of ctest's jobs while the
# cores sit idle. The shards' outputs follow one another once all ended.
set -u
program=$1
shards=$2
out=$(mktemp -d)
pids=""
trap 'kill $pids 2>/dev/null; rm -rf "$out"; exit 1' INT TERM
i=0
while [ "$i" -lt "$shards" ]; do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$program" >"$out/$i" 2>&1 &
  pids="$pids $!"
  i=$((i + 1))
done
status=0
for pid in $pids; do
  wait "$pid" || status=1
done
i=0
while [ "$i" -lt "$shards" ]; do
  echo "=== shard $i of $shards"
  cat "$out/$i"
  i=$((i + 1))
done
rm -rf "$out"
exit "$status"
