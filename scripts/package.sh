#!/usr/bin/env bash
# Builds the Debian package: a Release build without tests, installed into a staging root by
# CMake's install rules, with its dependencies taken from the program's real library needs
# (dpkg-shlibdeps). Prints the package's path as its last line.
#   PKG_BUILD_DIR  build folder (default build-pkg)      PKG_OUT_DIR  where the .deb goes (default: the build folder)
#   TAVIK_WERROR   ON to fail on any compiler warning    JOBS         parallel compile jobs (default 2)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh >&2
PKG=tavikbackupcopy
BUILD="$(realpath -m "${PKG_BUILD_DIR:-build-pkg}")"
OUT="$(realpath -m "${PKG_OUT_DIR:-$BUILD}")"
STAGE="$BUILD/stage"
WORK="$BUILD/deb"

# Debian's hardening flags, as a package built by its own tools would get them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVIK_BUILD_TESTS=OFF \
  -DTAVIK_WERROR="${TAVIK_WERROR:-OFF}" -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_DOCDIR="share/doc/$PKG" -DTAVIK_SYSTEMD_UNIT_DIR=/lib/systemd/system \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >&2
cmake --build "$BUILD" -j "${JOBS:-2}" --target TavikBackupCopy >&2

rm -rf "$STAGE" "$WORK"
DESTDIR="$STAGE" cmake --install "$BUILD" --strip >&2
PROGRAM="$STAGE/usr/libexec/tavik/TavikBackupCopy"
# Debian's packages drop the compiler's notes that a stripped program still carries.
strip --remove-section=.comment --remove-section=.note "$PROGRAM"
VERSION="$("$PROGRAM" --version | sed -n 's/^TavikBackupCopy //p')"
LOGGED="$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)"
if [ "$VERSION" != "$LOGGED" ]; then
  echo "The program is version $VERSION but packaging/debian/changelog starts with $LOGGED: add an entry." >&2
  exit 1
fi

# Debian keeps manual pages and the changelog compressed, and the licence beside them.
gzip -9n "$STAGE/usr/share/man/man1/TavikBackupCopy.1"
DOC="$STAGE/usr/share/doc/$PKG"
install -D -m 644 packaging/debian/copyright "$DOC/copyright"
gzip -9nc packaging/debian/changelog >"$DOC/changelog.gz"
chmod 644 "$DOC/changelog.gz"

# dpkg's own tools want a debian/ folder: a scratch one holds the control file and changelog.
mkdir -p "$WORK/debian" "$STAGE/DEBIAN"
cp packaging/debian/control packaging/debian/changelog "$WORK/debian/"
(cd "$WORK" && dpkg-shlibdeps -Tdebian/substvars "$PROGRAM" >&2 &&
  dpkg-gencontrol -p"$PKG" -P"$STAGE" -Tdebian/substvars -fdebian/files >&2)
install -m 755 packaging/debian/postinst packaging/debian/postrm "$STAGE/DEBIAN/"
# Everything below /etc is the administrator's to edit: an upgrade keeps those edits.
(cd "$STAGE" && find etc -type f | sort | sed 's|^|/|') >"$STAGE/DEBIAN/conffiles"
(cd "$STAGE" && find . -path ./DEBIAN -prune -o -type f -print0 | sort -z | xargs -0 md5sum |
  sed 's|  \./|  |') >"$STAGE/DEBIAN/md5sums"
find "$STAGE" -type d -exec chmod 755 {} +
chmod 644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/conffiles" "$STAGE/DEBIAN/md5sums"

mkdir -p "$OUT"
DEB="$OUT/${PKG}_${VERSION}_$(dpkg --print-architecture).deb"
dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$DEB" >&2
echo "$DEB"
