#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, once, only when absent.
set -euo pipefail
source "$(dirname "$0")/apt-install.sh"
PKGS=(build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev
      libjpeg62-turbo-dev python3-aiosmtpd xvfb xauth clang libclang-rt-14-dev libssl-dev openssl rsync
      dpkg-dev lintian desktop-file-utils man-db systemd strace
      libsqlite3-dev libcurl4-openssl-dev python3-prometheus-client)
InstallMissing "${PKGS[@]}"
# Without their recommends: mail scoring for the tests (no network checks, no mail server), and
# the monitoring the alert rules are tested against (no collector scripts, smartmontools or IPMI
# tools). The tests start the servers themselves on ports of their own; where a service manager
# runs, the packages' own services start with their Debian defaults.
QUIET_PKGS=(spamassassin prometheus prometheus-node-exporter prometheus-pushgateway)
InstallMissing --no-install-recommends "${QUIET_PKGS[@]}"
