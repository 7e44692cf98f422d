#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS, default 60).
# A finding leaves its input in build-fuzz/findings/<target>/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
SECONDS_EACH=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2
status=0
for bin in build-fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus="build-fuzz/corpus/$name"
  findings="build-fuzz/findings/$name"
  mkdir -p "$corpus" "$findings"
  [ -d "fuzz/seeds/$name" ] && cp -n fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null || true
  echo "== $name for ${SECONDS_EACH}s"
  if ! "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
        -artifact_prefix="$findings/" "$corpus" >"build-fuzz/$name.log" 2>&1; then
    echo "   FINDING: see build-fuzz/$name.log and $findings/"
    tail -30 "build-fuzz/$name.log"
    status=1
  else
    grep -E "^#[0-9]+.*DONE|Done [0-9]+ runs" "build-fuzz/$name.log" | tail -1 || true
  fi
done
exit $status
