#!/usr/bin/env bash
# Peak memory (VmHWM) of a running "kestrova b" watching one folder entry of
# N files (paths of 89 bytes), in ScanMode auto and poll, beside fswatch's
# poll monitor holding the same folder:
#   foreign  - started on a watch list another program wrote (dates without
#              an offset, as Windows writes them): the first pass rewrites
#              every date and the whole file;
#   restart  - started again on the list it wrote itself;
#   changed  - the same process after a pass that found 1 % of the files
#              changed (and mailed them to a loopback server).
# Usage: bench/memory_bench.sh PROGRAM-FOLDER [FILES]
# PROGRAM-FOLDER holds kestrova and its libraries (build-bench/kestrova).
set -euo pipefail

app=${1:?usage: memory_bench.sh PROGRAM-FOLDER [FILES]}
app=$(cd "$app" && pwd)
files=${2:-100000}

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrova-mem.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The folder: its name padded so that folder + "/" + "file0000000.dat" is
# 89 bytes.
name_len=15
pad=$((89 - name_len - 1 - ${#work} - 1))
[ "$pad" -ge 1 ] || { echo "TMPDIR path too long for 89-byte paths" >&2; exit 1; }
dir=$work/$(printf 'd%.0s' $(seq 1 "$pad"))
mkdir -p "$dir"
python3 - "$dir" "$files" <<'EOF'
import os, sys, time
d, n = sys.argv[1], int(sys.argv[2])
stamp = int(time.time()) - 3600
for i in range(n):
    p = os.path.join(d, "file%07d.dat" % i)
    with open(p, "w") as f:
        f.write("x")
    os.utime(p, (stamp, stamp))
EOF

# A loopback mail server (Python's own smtpd) that stores what it is sent.
mkdir -p "$work/mail"
python3 -W ignore - "$work/mail" >/dev/null 2>&1 <<'EOF' &
import asyncore, os, smtpd, sys
out = sys.argv[1]
class Sink(smtpd.SMTPServer):
    count = 0
    def process_message(self, peer, mailfrom, rcpttos, data, **kw):
        Sink.count += 1
        with open(os.path.join(out, "%04d.eml" % Sink.count), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
s = Sink(("127.0.0.1", 0), None, decode_data=False)
with open(os.path.join(out, "port.tmp"), "w") as f:
    f.write(str(s.socket.getsockname()[1]))
os.rename(os.path.join(out, "port.tmp"), os.path.join(out, "port"))
asyncore.loop()
EOF
pids+=($!)
for _ in $(seq 1 600); do [ -s "$work/mail/port" ] && break; sleep 0.1; done
port=$(cat "$work/mail/port")

cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo -1; }
hwm_of() { awk '/^VmHWM:/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
mails() { find "$work/mail" -name '*.eml' | wc -l; }

# Waits until pid has used no CPU for 3 s in a row (at least min seconds
# after the call).
settle() {
  local pid=$1 min=$2 start=$SECONDS last=-1 quiet=0 c
  while [ $((SECONDS - start)) -lt 600 ]; do
    sleep 1
    c=$(cpu_of "$pid")
    if [ "$c" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0; last=$c; fi
    [ $((SECONDS - start)) -ge "$min" ] && [ "$quiet" -ge 3 ] && return 0
  done
  return 1
}

# Moves the mtime of every 100th file by delta seconds.
shift_one_percent() {
  python3 - "$dir" "$files" "$1" <<'EOF'
import os, sys
d, n, delta = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(0, n, 100):
    p = os.path.join(d, "file%07d.dat" % i)
    t = os.stat(p).st_mtime + delta
    os.utime(p, (t, t))
EOF
}

# The list in the form another program writes: CP932-compatible text, CR
# LF, dates as local time without an offset.
foreign_list() {
  python3 - "$dir" "$1" <<'EOF'
import os, sys, time
d, out = sys.argv[1], sys.argv[2]
lines = ["[CheckFolders]", "0=" + d + "/", "[SendMailTo]", "0=bench@example.invalid",
         "[FileChkMode]", "0=7", "[MailBdLines]", "0=20", "[CheckFiles]"]
for m, name in enumerate(sorted(os.listdir(d))):
    p = os.path.join(d, name)
    t = time.localtime(os.stat(p).st_mtime)
    date = "%04d/%02d/%02d %d:%02d:%02d" % t[:6]
    lines += ["0_%d_path=%s" % (m, p), "0_%d_date=%s" % (m, date)]
with open(out, "w", newline="") as f:
    f.write("\r\n".join(lines) + "\r\n")
EOF
}

start_kestrova() {
  local prog=$1
  "$prog/kestrova" b >/dev/null 2>&1 &
  echo $!
}

declare -A result
for mode in auto poll; do
  prog=$work/prog-$mode
  mkdir -p "$prog"
  cp "$app"/* "$prog"/
  printf '[InitSetting]\r\nSmtpServer=127.0.0.1:%s\r\nMailFromAddr=bench@example.invalid\r\nCheckSec=10\r\nScanMode=%s\r\n' \
    "$port" "$mode" >"$prog/kestrova.ini"
  foreign_list "$prog/kestrovaD.ini"

  pid=$(start_kestrova "$prog")
  pids+=("$pid")
  for _ in $(seq 1 600); do
    grep -q ' [+-][0-9][0-9][0-9][0-9]' "$prog/kestrovaD.ini" 2>/dev/null && break
    sleep 1
  done
  settle "$pid" 5
  result[$mode,foreign]=$(hwm_of "$pid")
  kill "$pid"
  wait "$pid" 2>/dev/null || true

  pid=$(start_kestrova "$prog")
  pids+=("$pid")
  settle "$pid" 25
  result[$mode,restart]=$(hwm_of "$pid")

  sent=$(mails)
  shift_one_percent 60
  for _ in $(seq 1 600); do [ "$(mails)" -gt "$sent" ] && break; sleep 1; done
  settle "$pid" 3
  result[$mode,changed]=$(hwm_of "$pid")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  shift_one_percent -60
done

fsw=-
if command -v fswatch >/dev/null; then
  fswatch -m poll_monitor -r -l 10 "$dir" >/dev/null &
  fpid=$!
  pids+=("$fpid")
  settle "$fpid" 5
  shift_one_percent 60
  sleep 12
  settle "$fpid" 1
  fsw=$(hwm_of "$fpid")
  kill "$fpid"
fi

echo "Peak resident memory (VmHWM, MiB), 'kestrova b' watching one folder entry"
echo "of $files files (paths of 89 bytes), CheckSec 10:"
printf '%-8s | %10s %10s %10s\n' mode foreign restart changed
for mode in auto poll; do
  printf '%-8s | %10s %10s %10s\n' "$mode" "${result[$mode,foreign]}" \
    "${result[$mode,restart]}" "${result[$mode,changed]}"
done
echo "fswatch poll_monitor (latency 10 s, after one scan finding 1 % changed): $fsw MiB"
worst=0
for v in "${result[@]}"; do worst=$(awk -v a="$worst" -v b="$v" 'BEGIN{print (b > a) ? b : a}'); done
awk -v w="$worst" 'BEGIN{printf "Goal, at most 48 MiB in every case: %s (largest %.1f MiB)\n", (w <= 48) ? "met" : "MISSED", w}'
