#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, once, only when absent.
set -euo pipefail
PKGS=(build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev
      libjpeg62-turbo-dev python3-aiosmtpd xvfb xauth clang libclang-rt-14-dev libssl-dev openssl rsync
      dpkg-dev lintian desktop-file-utils man-db systemd
      libsqlite3-dev libcurl4-openssl-dev python3-prometheus-client)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# Without their recommends: mail scoring for the tests (no network checks, no mail server), and
# the monitoring the alert rules are tested against (no collector scripts, smartmontools or IPMI
# tools). The tests start the servers themselves on ports of their own; where a service manager
# runs, the packages' own services start with their Debian defaults.
QUIET_PKGS=(spamassassin prometheus prometheus-node-exporter prometheus-pushgateway)
missing=()
for p in "${QUIET_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
