#!/usr/bin/env bash
# Installs what is missing, builds and runs every test, builds the Release and clang variants,
# the Windows build (tested under Wine) and the Debian package and checks them, then runs the
# suite again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
JOBS=${JOBS:-2}
# The suite must leave the machine as it found it: the shared folders keep their mode and owner
# (a test that once walked up to / left /tmp without its sticky bit, and apt then failed).
machine_state() { stat -c '%n %a %u %g' / /tmp /var/tmp /var/lib /etc "$HOME" 2>/dev/null; }
MACHINE_BEFORE=$(machine_state)
machine_unchanged() {
  local now
  now=$(machine_state)
  if [ "$now" != "$MACHINE_BEFORE" ]; then
    echo "The tests ($1) changed folders outside their own:" >&2
    diff <(echo "$MACHINE_BEFORE") <(echo "$now") >&2 || true
    exit 1
  fi
}
cmake --preset default >/dev/null
cmake --build --preset default -j "$JOBS"
ctest --preset default -j "$JOBS"
machine_unchanged default
# The alert rules, unit-tested and then raised by a live Prometheus from the program's metrics.
bash scripts/test-prometheus.sh build/TavikBackupCopy
machine_unchanged prometheus
# A packager's Release build with GCC and a build with clang, both free of warnings
# (TAVIK_WERROR is on in every preset) and both passing the suite.
for preset in release clang; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  ctest --preset "$preset" -j "$JOBS"
  machine_unchanged "$preset"
done
# The layers that have a Windows side, cross-built with MinGW-w64 and tested under Wine.
if [ "${TAVIK_SKIP_WINDOWS:-0}" != 1 ]; then
  bash scripts/test-windows.sh
  machine_unchanged windows
fi
# The Debian package, unpacked and run, its manual page, units and lintian.
bash scripts/check-package.sh
if [ "${TAVIK_SKIP_ASAN:-0}" != 1 ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$JOBS"
  # The system's font library keeps a small cache for the process's life; that is no leak of ours.
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$JOBS"
  machine_unchanged asan
fi
