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
# Mail scoring for the tests, without its recommends (no network checks, no mail server).
if ! dpkg-query -W -f='${Status}' spamassassin 2>/dev/null | grep -q "install ok installed"; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends spamassassin >/dev/null
fi
