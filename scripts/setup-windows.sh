#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need, once, only when absent: the
# MinGW-w64 cross compiler (POSIX threads, for std::thread), Wine, and GoogleTest's sources.
set -euo pipefail
source "$(dirname "$0")/apt-install.sh"
PKGS=(g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine64 googletest)
InstallMissing --no-install-recommends "${PKGS[@]}"
