#!/usr/bin/env bash
# Installs what is missing, builds and runs every test, builds the Release and clang variants
# and the Debian package and checks them, then runs the suite again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
JOBS=${JOBS:-2}
cmake --preset default >/dev/null
cmake --build --preset default -j "$JOBS"
ctest --preset default -j "$JOBS"
# The alert rules, unit-tested and then raised by a live Prometheus from the program's metrics.
bash scripts/test-prometheus.sh build/TavikBackupCopy
# A packager's Release build with GCC and a build with clang, both free of warnings
# (TAVIK_WERROR is on in every preset) and both passing the suite.
for preset in release clang; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  ctest --preset "$preset" -j "$JOBS"
done
# The Debian package, unpacked and run, its manual page, units and lintian.
bash scripts/check-package.sh
if [ "${TAVIK_SKIP_ASAN:-0}" != 1 ]; then
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$JOBS"
  # The system's font library keeps a small cache for the process's life; that is no leak of ours.
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$JOBS"
fi
