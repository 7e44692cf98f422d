#!/usr/bin/env bash
# Every performance goal in one sitting, each printed as a ratio beside its anchor: the whole -h
# night against rsync -a --fsync, the system calls per copied file against rsync's, log lines per
# second with the log kept open, --status on a history of 10,000 runs, the rotation of 100,000
# incrementals against 10,000 with its peak memory, and the hashed copy against the plain one.
# Takes most of an hour on a disk at this VM's pace; nothing of it runs in the tests.
#   bash bench/run-all.sh [build/bench]
set -euo pipefail
BENCH="${1:-build/bench}"
step() { printf '\n== %s\n' "$1"; }
step "a night against rsync (bench_night)"
"$BENCH/bench_night"
step "system calls per copied file (bench_syscalls)"
"$BENCH/bench_syscalls"
step "log lines per second (bench_log)"
QT_QPA_PLATFORM=offscreen "$BENCH/bench_log"
step "a history of 10,000 runs (bench_status)"
"$BENCH/bench_status"
step "100,000 incrementals against 10,000, peak memory (bench_rotation)"
"$BENCH/bench_rotation" "" 100000
step "the hashed copy against the plain one (bench_copy)"
"$BENCH/bench_copy"
