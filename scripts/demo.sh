#!/usr/bin/env bash
# Runs the program's main job as a scheduler would (-h) on a built-in demo setup and shows
# what it did: the run log, the backup disk's files and the mails a local SMTP server received.
# Everything it writes stays in its own workspace below /tmp. Ends with the run's exit status.
#   TAVIK_DEMO_PROGRAM  run this program (an unpacked package's, say) where it lies, with the
#                       demo's job file put where that program reads it; default: a copy of the build's
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
PROGRAM="${TAVIK_DEMO_PROGRAM:-}"
if [ -z "$PROGRAM" ] && [ ! -x build/TavikBackupCopy ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2 --target TavikBackupCopy
fi

WS="$(mktemp -d /tmp/tavik-demo-XXXXXX)"
mkdir -p "$WS/bin" "$WS/programdata/Tavik" "$WS/home" "$WS/userdata" "$WS/runtime" "$WS/mail" \
  "$WS/source/vol1" "$WS/source/vol2" "$WS/disk"
chmod 700 "$WS/runtime"

# A throw-away SMTP server on loopback receives the run's mails; it goes when the demo ends.
SINK_PID=""
trap '[ -n "$SINK_PID" ] && kill "$SINK_PID" 2>/dev/null; wait 2>/dev/null || true' EXIT
/usr/bin/python3 tests/support/smtp_sink.py --folder "$WS/mail" >"$WS/smtp-port.txt" 2>"$WS/smtp-stderr.txt" &
SINK_PID=$!
for _ in $(seq 100); do
  grep -q '^PORT ' "$WS/smtp-port.txt" 2>/dev/null && break
  sleep 0.1
done
PORT="$(sed -n 's/^PORT //p' "$WS/smtp-port.txt")"
[ -n "$PORT" ] || { echo "The demo's SMTP server did not start:"; cat "$WS/smtp-stderr.txt"; exit 1; }
# The job file is named after the program's real path, so the demo runs its own copy of the
# build's program, or writes the job where the given program reads it (replacing a link there).
if [ -z "$PROGRAM" ]; then
  cp build/TavikBackupCopy "$WS/bin/"
  PROGRAM="$WS/bin/TavikBackupCopy"
fi
REAL="$(readlink -f "$PROGRAM")"
case "${REAL##*/}" in
  *.*) JOB="${REAL%.*}.ini" ;;
  *) JOB="$REAL.ini" ;;
esac
rm -f "$JOB"

# Day 7 is yesterday: the newest images are a day old, as a working imaging product leaves them.
day() { echo $(( $(date +%s) - (8 - $1) * 86400 )); }
mk() { head -c "$2" /dev/urandom > "$1"; touch -d "@$3" "$1"; }
# Two chains for each volume; the newer one must end up on the disk.
mk "$WS/source/vol1/SRV_C_VOL-b001.spf" 300000 "$(day 1)"
mk "$WS/source/vol1/SRV_C_VOL-b001-i001.spi" 20000 "$(day 2)"
mk "$WS/source/vol1/SRV_C_VOL-b002.spf" 320000 "$(day 5)"
mk "$WS/source/vol1/SRV_C_VOL-b002.md5" 40 "$(day 5)"
mk "$WS/source/vol1/SRV_C_VOL-b002-i001.spi" 21000 "$(day 6)"
mk "$WS/source/vol1/SRV_C_VOL-b002-i002.spi" 22000 "$(day 7)"
mk "$WS/source/vol2/SRV_D_VOL-b001.spf" 200000 "$(day 6)"
mk "$WS/source/vol2/SRV_D_VOL-b001-i001.spi" 15000 "$(day 7)"
# The disk still holds last week's chain of the first volume.
mkdir -p "$WS/disk/vol1"
mk "$WS/disk/vol1/SRV_C_VOL-b000.spf" 1000 "$(day 1)"
mk "$WS/disk/vol1/SRV_C_VOL-b000-i001.spi" 100 "$(day 1)"
printf 'Disk1\r\n01/12/2026 02:00:00\r\n*** DO NOT DELETE UNLESS YOU WANT TO CHANGE THE DISK LABEL ***\r\n' > "$WS/disk/ID.txt"

cat > "$JOB" <<INI
[Main]
; The demo's disk is a folder, on purpose.
SystemDiskAllowed=1
IDPath=$WS/disk
Source=$WS/source/vol1,$WS/source/vol2
Destination=$WS/disk/vol1,$WS/disk/vol2
Volume=SRV_C_VOL,SRV_D_VOL
INI

# The notification settings as the settings dialog writes them. The server's name is stored
# scrambled: "w8AgrauGXe7d" is 127.0.0.1. The disk in the drive is the one due on every weekday,
# so the demo runs the same whatever the day.
{
  printf '[Email Settings]\nSMTPServer=w8AgrauGXe7d\nSMTPPort=%s\nSMTPFrom=backup@demo.example\n' "$PORT"
  printf 'SiteDescription=Office\nSiteID=S01\nSMTPRequiresLogon=0\n[Settings]\nCreateDestFolder=1\n'
  printf '[Notifications]\nIDDisk=1\n'
  for d in Mon Tue Wed Thur Fri Sat Sun; do printf 'IDDisk%s=1\n' "$d"; done
  for d in Monday Tuesday Wednesday Thursday Friday Saturday Sunday; do printf '%sID=Disk1\n' "$d"; done
  printf 'ErrorEmails=admin@demo.example\nDiskChangeEmails=admin@demo.example,office@demo.example\n'
  printf 'LogEmails=admin@demo.example\nBackupCompleteEmails=office@demo.example\n'
} >"$WS/programdata/Tavik/TavikBackup.ini"

echo "== Running: TavikBackupCopy -h  (workspace $WS)"
set +e
( cd "$WS" && PROGRAMDATA="$WS/programdata" HOME="$WS/home" XDG_DATA_HOME="$WS/userdata" \
    XDG_RUNTIME_DIR="$WS/runtime" QT_QPA_PLATFORM=offscreen \
    timeout 120 "$PROGRAM" -h 2>"$WS/stderr.txt" )
code=$?
set -e
echo "== Exit status: $code"
echo "== Run log"
cat "$WS"/programdata/qorv/TavikShadowCopy/*.log | tr -d '\r'
echo
echo "== Backup disk"
(cd "$WS/disk" && find . -type f | sort | while read -r f; do printf '%10s  %s\n' "$(stat -c %s "$f")" "$f"; done)
echo "== Mails received"
/usr/bin/python3 - "$WS/mail" <<'PY'
import email, email.header, glob, os, sys
for eml in sorted(glob.glob(os.path.join(sys.argv[1], "msg-*.eml"))):
    with open(eml, "rb") as f:
        msg = email.message_from_binary_file(f)
    with open(eml[:-4] + ".env", encoding="utf-8") as f:
        rcpts = f.read().split("\n")[1:]
    subject = str(email.header.make_header(email.header.decode_header(msg["Subject"] or "")))
    files = [p.get_filename() for p in msg.walk() if p.get_filename()]
    print("  %s" % subject)
    print("      to: %s%s" % (", ".join(r for r in rcpts if r),
                             ("   attached: " + ", ".join(files)) if files else ""))
PY
echo "== Workspace kept at $WS"
exit "$code"
