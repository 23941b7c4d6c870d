"""Times watchdog's DirectorySnapshot of one folder (not recursive).

Usage: /usr/bin/python3 watchdog_scan.py same|changed DIR RUNS
Prints: median wall seconds, median CPU seconds, changes found.
"same" times one snapshot of the folder as it is. "changed" takes a
reference snapshot, moves the time of every 100th file (sorted by name)
60 s forward, times a new snapshot plus the diff against the reference,
and moves the times back; only the snapshot and the diff are timed.
"""
import os
import statistics
import sys
import time

from watchdog.utils.dirsnapshot import DirectorySnapshot, DirectorySnapshotDiff


def timed(fn):
    w0, c0 = time.perf_counter(), time.process_time()
    result = fn()
    return time.perf_counter() - w0, time.process_time() - c0, result


def main():
    mode, folder, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    DirectorySnapshot(folder, recursive=False)  # warm up
    walls, cpus, found = [], [], 0
    if mode == "same":
        for _ in range(runs):
            w, c, _snap = timed(lambda: DirectorySnapshot(folder, recursive=False))
            walls.append(w)
            cpus.append(c)
    else:
        names = sorted(os.listdir(folder))[::100]
        paths = [os.path.join(folder, n) for n in names]
        reference = DirectorySnapshot(folder, recursive=False)

        def shift(delta):
            for p in paths:
                st = os.stat(p)
                os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns + delta * 1_000_000_000))

        for _ in range(runs):
            shift(60)
            try:
                w, c, diff = timed(lambda: DirectorySnapshotDiff(
                    reference, DirectorySnapshot(folder, recursive=False)))
                found = len(diff.files_modified)
            finally:
                shift(-60)
            walls.append(w)
            cpus.append(c)
    print(f"{statistics.median(walls):.9f} {statistics.median(cpus):.9f} {found}")


if __name__ == "__main__":
    main()
