#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need, once, only when absent: the
# MinGW-w64 cross compiler (POSIX threads, for std::thread), Wine, and GoogleTest's sources.
set -euo pipefail
PKGS=(g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine64 googletest)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
