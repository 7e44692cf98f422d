#!/usr/bin/env bash
# The shipped alert rules as Prometheus itself judges them: promtool checks their syntax and runs
# their unit tests, then a live node_exporter and Prometheus on 127.0.0.1 read two runs of the
# program and raise the failed-run alert. Skipped, saying so, where the servers are not installed
# (scripts/setup.sh installs them).
#   $1  the program to run (default build/TavikBackupCopy)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
PROGRAM="${1:-build/TavikBackupCopy}"
RULES=packaging/prometheus/tavik-rules.yml
if ! command -v promtool >/dev/null; then
  echo "SKIPPED: promtool is not installed (Debian's prometheus package; scripts/setup.sh installs it)"
  exit 0
fi
timeout 120 promtool check rules "$RULES"
timeout 120 promtool test rules packaging/prometheus/tavik-rules.test.yml
timeout -k 10 180 python3 tests/prometheus/test_alerts_live.py "$PROGRAM" "$RULES"
