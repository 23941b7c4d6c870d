#!/bin/bash
# Soak run (not part of CI): `kestrova b` with many watch entries and a steady
# stream of changes, mailing to the loopback test SMTP server. Prints the
# program's resident memory over time and, at the end, compares the changes
# made with the change lines mailed: every change must arrive exactly once.
#
#   scripts/soak.sh [BUILD_DIR]         (default: build)
#
# Environment:
#   SOAK_MINUTES   length of the change stream (default 30)
#   SOAK_ENTRIES   watch entries, one folder each (default 1000)
#   SOAK_RATE      changes per second (default 2)
#   SOAK_CHECKSEC  CheckSec of the run (default 5)
#   SOAK_KEEP=1    keep the work folder afterwards
# Exit status: 0 when nothing was lost or doubled, 1 otherwise.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
APP=$BUILD/kestrova
MINUTES=${SOAK_MINUTES:-30}
ENTRIES=${SOAK_ENTRIES:-1000}
RATE=${SOAK_RATE:-2}
CHECKSEC=${SOAK_CHECKSEC:-5}
PY=/usr/bin/python3

for f in kestrova libbsmtp.so libunlha32.so; do
    [ -e "$APP/$f" ] || { echo "soak: $APP/$f missing (build first)" >&2; exit 2; }
done

W=$(mktemp -d /tmp/kestrova-soak.XXXXXX)
SMTP_PID=
APP_PID=
cleanup() {
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null || true
    [ -n "$SMTP_PID" ] && kill "$SMTP_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "soak: work folder kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT

mkdir -p "$W/prog" "$W/mail" "$W/run" "$W/w"
chmod 700 "$W/run"
cp "$APP/kestrova" "$APP/libbsmtp.so" "$APP/libunlha32.so" "$W/prog/"

"$PY" "$ROOT/tests/servers/smtp_server.py" --outdir "$W/mail" --port 0 \
    >"$W/smtp.log" 2>&1 &
SMTP_PID=$!
for _ in $(seq 100); do [ -s "$W/mail/port" ] && break; sleep 0.1; done
PORT=$(cat "$W/mail/port")

# Settings and a watch list of ENTRIES empty folders, ten recipients, so a
# pass sends up to ten mails each merging many entries.
printf '[InitSetting]\r\nSmtpServer=127.0.0.1:%s\r\nMailFromAddr=soak@example.com\r\nMailTitle=soak\r\nMailMsg=soak\r\nCheckSec=%s\r\n' \
    "$PORT" "$CHECKSEC" >"$W/prog/kestrova.ini"
{
    printf '[CheckFolders]\r\n'
    for ((i = 0; i < ENTRIES; i++)); do
        mkdir -p "$W/w/$i"
        printf '%d=%s/w/%d/\r\n' "$i" "$W" "$i"
    done
    printf '[SendMailTo]\r\n'
    for ((i = 0; i < ENTRIES; i++)); do printf '%d=ops%d@example.com\r\n' "$i" $((i % 10)); done
    printf '[FileChkMode]\r\n'
    for ((i = 0; i < ENTRIES; i++)); do printf '%d=7\r\n' "$i"; done
} >"$W/prog/kestrovaD.ini"

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$W/run" \
    "$W/prog/kestrova" b >"$W/kestrova.out" 2>&1 &
APP_PID=$!

rss() { awk '/^VmRSS/ {print $2}' "/proc/$APP_PID/status" 2>/dev/null || echo gone; }
mails() { find "$W/mail" -name '*.eml' | wc -l; }

echo "soak: $ENTRIES entries, $RATE changes/s for $MINUTES min, CheckSec $CHECKSEC, work $W"
echo "soak: minute  rss_kb  changes  mails"
START=$(date +%s)
END=$((START + MINUTES * 60))
NEXT_REPORT=$START
made=0
seq_no=0
# Files created more than a minute ago may be deleted: by then a pass has
# recorded them, so the deletion is a change of its own.
pending_path=()
pending_time=()
: >"$W/changes"
while [ "$(date +%s)" -lt "$END" ]; do
    now=$(date +%s)
    if [ "$now" -ge "$NEXT_REPORT" ]; then
        printf 'soak: %6d  %6s  %7d  %5d\n' $(((now - START) / 60)) "$(rss)" "$made" "$(mails)"
        NEXT_REPORT=$((NEXT_REPORT + 60))
        kill -0 "$APP_PID" 2>/dev/null || { echo "soak: kestrova ended early" >&2; break; }
    fi
    for ((k = 0; k < RATE; k++)); do
        seq_no=$((seq_no + 1))
        if [ "${#pending_path[@]}" -gt 0 ] && [ $((now - pending_time[0])) -gt 60 ] &&
            [ $((RANDOM % 3)) -eq 0 ]; then
            p=${pending_path[0]}
            pending_path=("${pending_path[@]:1}")
            pending_time=("${pending_time[@]:1}")
            rm -f "$p"
            printf '削除 %s\n' "$p" >>"$W/changes"
        else
            p="$W/w/$((RANDOM % ENTRIES))/c$seq_no"
            echo "$seq_no" >"$p"
            printf '追加 %s\n' "$p" >>"$W/changes"
            pending_path+=("$p")
            pending_time+=("$now")
        fi
        made=$((made + 1))
    done
    sleep 1
done

# Let the last changes go out: a few passes with nothing new.
sleep $((CHECKSEC * 3 + 15))
final_rss=$(rss)
kill "$APP_PID" 2>/dev/null || true
wait "$APP_PID" 2>/dev/null || true
APP_PID=

echo "soak: final rss_kb $final_rss, program output: $(wc -c <"$W/kestrova.out") bytes"
"$PY" - "$W" <<'EOF'
import collections, email, email.policy, glob, os, sys
w = sys.argv[1]
made = collections.Counter()
for line in open(os.path.join(w, "changes"), encoding="utf-8"):
    kind, path = line.rstrip("\n").split(" ", 1)
    made[(kind, path)] += 1
mailed = collections.Counter()
count = 0
for eml in sorted(glob.glob(os.path.join(w, "mail", "*.eml"))):
    count += 1
    msg = email.message_from_binary_file(open(eml, "rb"), policy=email.policy.default)
    body = msg.get_body(("plain",)).get_content()
    for line in body.splitlines():
        parts = line.split(" ")
        if parts and parts[0] in ("追加", "削除", "更新"):
            path = next((p for p in parts if p.startswith(w + "/w/")), None)
            if path:
                mailed[(parts[0], path)] += 1
lost = [k for k in made if mailed[k] == 0]
doubled = [k for k in mailed if mailed[k] > 1]
unexpected = [k for k in mailed if k not in made]
print("soak: mails %d, changes made %d, change lines mailed %d, lost %d, doubled %d, unexpected %d"
      % (count, sum(made.values()), sum(mailed.values()), len(lost), len(doubled), len(unexpected)))
for k in (lost + doubled + unexpected)[:10]:
    print("soak:   ", k[0], k[1], mailed[k])
log = os.path.join(w, "prog", "kestrova.log")
if os.path.exists(log):
    text = open(log, "rb").read().decode("cp932", "replace")
    warnings = sum(1 for l in text.splitlines() if "\tワーニング" in l or "\tシス・エラー" in l)
    print("soak: warning/error log lines: %d" % warnings)
sys.exit(1 if lost or doubled or unexpected else 0)
EOF
