#!/usr/bin/env bash
# Runs the program's main job as a scheduler would (-h) on a built-in demo setup and shows
# what it did: the run log, the backup disk's files.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
if [ ! -x build/TavikBackupCopy ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2 --target TavikBackupCopy
fi

WS="$(mktemp -d /tmp/tavik-demo-XXXXXX)"
mkdir -p "$WS/bin" "$WS/programdata" "$WS/source/vol1" "$WS/source/vol2" "$WS/disk"
# The job file sits beside the program, so the demo runs its own copy of it.
cp build/TavikBackupCopy "$WS/bin/"

day() { date -d "2026-12-0$1 02:00" +%s; }
mk() { head -c "$2" /dev/urandom > "$1"; touch -d "@$3" "$1"; }
# Two chains for each volume; the newer one must end up on the disk.
mk "$WS/source/vol1/SRV_C_VOL-b001.spf" 300000 "$(day 1)"
mk "$WS/source/vol1/SRV_C_VOL-b001-i001.spi" 20000 "$(day 2)"
mk "$WS/source/vol1/SRV_C_VOL-b002.spf" 320000 "$(day 5)"
mk "$WS/source/vol1/SRV_C_VOL-b002.md5" 40 "$(day 5)"
mk "$WS/source/vol1/SRV_C_VOL-b002-i001.spi" 21000 "$(day 6)"
mk "$WS/source/vol1/SRV_C_VOL-b002-i002.spi" 22000 "$(day 7)"
mk "$WS/source/vol2/SRV_D_VOL-b001.spf" 200000 "$(day 3)"
mk "$WS/source/vol2/SRV_D_VOL-b001-i001.spi" 15000 "$(day 4)"
# The disk still holds last week's chain of the first volume.
mkdir -p "$WS/disk/vol1"
mk "$WS/disk/vol1/SRV_C_VOL-b000.spf" 1000 "$(day 1)"
mk "$WS/disk/vol1/SRV_C_VOL-b000-i001.spi" 100 "$(day 1)"
printf 'Disk1\r\n01/12/2026 02:00:00\r\n*** DO NOT DELETE UNLESS YOU WANT TO CHANGE THE DISK LABEL ***\r\n' > "$WS/disk/ID.txt"

cat > "$WS/bin/TavikBackupCopy.ini" <<INI
[Main]
IDPath=$WS/disk
Source=$WS/source/vol1,$WS/source/vol2
Destination=$WS/disk/vol1,$WS/disk/vol2
Volume=SRV_C_VOL,SRV_D_VOL
INI

echo "== Running: TavikBackupCopy -h  (workspace $WS)"
set +e
( cd "$WS" && PROGRAMDATA="$WS/programdata" timeout 300 "$WS/bin/TavikBackupCopy" -h 2>"$WS/stderr.txt" )
code=$?
set -e
echo "== Exit status: $code"
echo "== Run log"
cat "$WS"/programdata/qorv/TavikShadowCopy/*.log | tr -d '\r'
echo
echo "== Backup disk"
(cd "$WS/disk" && find . -type f | sort | while read -r f; do printf '%10s  %s\n' "$(stat -c %s "$f")" "$f"; done)
echo "== Workspace kept at $WS"
