#!/usr/bin/env bash
# Builds the Debian package and checks it as an administrator would meet it: its contents, the
# program run from an unpacked copy (--version, --help, a -h run on the demo's workspace), the
# manual page, the desktop entry, the systemd units (and their exposure), and lintian. It passes
# whether or not the same package is installed on this machine.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
DEB="$(bash scripts/package.sh | tail -1)"
echo "== Package $DEB ($(stat -c %s "$DEB") bytes)"
dpkg-deb -I "$DEB" | sed -n 's/^ \(Version\|Installed-Size\|Depends\):/  \1:/p'
dpkg-deb -c "$DEB"

UNPACKED="$(mktemp -d /tmp/tavik-unpacked-XXXXXX)"
trap 'rm -rf "$UNPACKED"' EXIT
dpkg-deb -x "$DEB" "$UNPACKED"
PROGRAM="$UNPACKED/usr/bin/TavikBackupCopy"
echo "== $PROGRAM --version"
VERSION_LINE="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$PROGRAM" --version)"
echo "$VERSION_LINE"
[[ "$VERSION_LINE" =~ ^TavikBackupCopy\ [0-9]+\.[0-9]+\.[0-9]+$ ]]
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$PROGRAM" --help | grep -q "^Usage: TavikBackupCopy"

echo "== Manual page"
WARNINGS="$(MANWIDTH=80 man --warnings -l "$UNPACKED/usr/share/man/man1/TavikBackupCopy.1.gz" 2>&1 >/dev/null)"
[ -z "$WARNINGS" ] || { echo "$WARNINGS"; exit 1; }
MANWIDTH=80 man -l "$UNPACKED/usr/share/man/man1/TavikBackupCopy.1.gz" 2>/dev/null | grep -E '^[A-Z][A-Z ]+$' | tr '\n' ' '
echo
echo "== Desktop entry"
desktop-file-validate "$UNPACKED/usr/share/applications/TavikBackupCopy.desktop"
echo "== systemd units"
if command -v systemd-analyze >/dev/null; then
  # The units name the installed program; here they are checked against the unpacked one.
  UNITS="$UNPACKED/units"
  mkdir "$UNITS"
  for unit in "$UNPACKED"/lib/systemd/system/*; do
    sed "s|^ExecStart=/usr/bin/|ExecStart=$UNPACKED/usr/bin/|" "$unit" >"$UNITS/${unit##*/}"
  done
  systemd-analyze verify --man=no "$UNITS"/*
  echo "systemd-analyze verify: no complaint"
  # Each service keeps to what a copy, a log and a mail need: an exposure of at most 4.5 ("OK").
  for unit in "$UNITS"/*.service; do
    score="$(systemd-analyze security --offline=true --no-pager "$unit" 2>/dev/null |
      sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\).*$/\1/p')"
    echo "${unit##*/}: exposure $score"
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 4.5) }' || { echo "above 4.5"; exit 1; }
  done
else
  echo "systemd-analyze is not installed: units not verified"
fi
echo "== Dependencies from the archive"
if compgen -G "/var/lib/apt/lists/*_Packages*" >/dev/null; then
  # What apt-get install ./<package>.deb would do on this Debian, without doing it.
  # With this very version installed already there is nothing to install, which is no failure.
  SIMULATED="$(apt-get install -s "$DEB" 2>&1)" || { echo "$SIMULATED"; exit 1; }
  if grep -E '^(Inst|Conf) ' <<<"$SIMULATED"; then
    :
  elif grep -q 'tavikbackupcopy is already the newest version' <<<"$SIMULATED"; then
    echo "this version is installed already: nothing to resolve"
  else
    echo "$SIMULATED"
    exit 1
  fi
else
  echo "no package lists (apt-get update not run): not resolved"
fi
echo "== lintian"
lintian --fail-on error,warning "$DEB"
echo "lintian: no error, no warning"

echo "== Installed, every timer enabled, purged and installed again, in a root of its own"
# dpkg runs the maintainer scripts outside a chroot with DPKG_ROOT set, so nothing of this
# machine's own service manager or package database is touched.
DPKG_TMP="$(mktemp -d /tmp/tavik-dpkg-root-XXXXXX)"
trap 'rm -rf "$UNPACKED" "$DPKG_TMP"' EXIT
mkdir -p "$DPKG_TMP/var/lib/dpkg/info" "$DPKG_TMP/var/lib/dpkg/updates" "$DPKG_TMP/etc/systemd/system"
touch "$DPKG_TMP/var/lib/dpkg/status"
DPKG=(dpkg --root="$DPKG_TMP" --force-script-chrootless --force-depends --force-not-root --log=/dev/null)
TIMERS=(tavik-backup.timer tavik-precheck.timer tavik-verify.timer)
unit_links() { find "$DPKG_TMP/etc/systemd/system" -name 'tavik-*' | sort; }
# dpkg's complaints about the libraries this empty root lacks are no failure; its exit status is.
dpkg_quiet() { "${DPKG[@]}" "$@" >"$DPKG_TMP/dpkg.out" 2>&1 || { cat "$DPKG_TMP/dpkg.out"; exit 1; }; }
dpkg_quiet -i "$DEB"
[ -z "$(unit_links)" ] || { echo "the install enabled units by itself:"; unit_links; exit 1; }
if command -v systemctl >/dev/null; then
  systemctl --root="$DPKG_TMP" enable "${TIMERS[@]}" >/dev/null 2>&1
else
  mkdir -p "$DPKG_TMP/etc/systemd/system/timers.target.wants"
  for t in "${TIMERS[@]}"; do ln -s "/lib/systemd/system/$t" "$DPKG_TMP/etc/systemd/system/timers.target.wants/$t"; done
fi
[ "$(unit_links | wc -l)" -eq 3 ] || { echo "the timers could not be enabled:"; unit_links; exit 1; }
dpkg_quiet --purge tavikbackupcopy
[ -z "$(unit_links)" ] || { echo "links left after the purge:"; unit_links; exit 1; }
dpkg_quiet -i "$DEB"
[ -z "$(unit_links)" ] || { echo "the reinstall armed timers again:"; unit_links; exit 1; }
dpkg_quiet -r tavikbackupcopy
echo "no unit link left by the purge; the reinstall enabled nothing"

echo "== A -h run of the unpacked program on the demo's workspace"
DEMO_OUT="$UNPACKED/demo.txt"
status=0
TAVIK_DEMO_PROGRAM="$PROGRAM" bash scripts/demo.sh >"$DEMO_OUT" 2>&1 || status=$?
cat "$DEMO_OUT"
# The demo keeps its workspace for a person to look at; a check has no use for it.
WS="$(sed -n 's/^== Workspace kept at //p' "$DEMO_OUT")"
[[ "$WS" == /tmp/tavik-demo-* ]] && rm -rf "$WS"
exit "$status"
