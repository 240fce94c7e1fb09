#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# `cmake --install` into a staging root: every file where a desktop looks for it, accepted by
# the desktop's own validators.
#   install_test.sh BUILD_DIR
set -eu
BUILD=$1
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$STAGE cmake --install "$BUILD" --prefix /opt/bitoner >/dev/null
cd "$STAGE/opt/bitoner"

for f in bin/bitoner libexec/bitoner/bitoner-window share/applications/org.bitoner.Bitoner.desktop \
  share/metainfo/org.bitoner.Bitoner.metainfo.xml share/man/man1/bitoner.1.gz \
  share/doc/bitoner-cli/copyright share/doc/bitoner-cli/changelog.gz \
  share/doc/bitoner-cli/examples/bitoner-beacon.service share/doc/bitoner/copyright \
  share/icons/hicolor/scalable/apps/bitoner.svg; do
  [ -f "$f" ] || fail "$f not installed"
done
[ -x bin/bitoner ] || fail "bin/bitoner is not executable"
# The example unit runs the program where it was installed.
grep -q '^ExecStart=/opt/bitoner/bin/bitoner beacon ' share/doc/bitoner-cli/examples/bitoner-beacon.service ||
  fail "the example unit does not run /opt/bitoner/bin/bitoner"
# The installed front door finds the installed window, which says that it needs a display.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bin/bitoner 2>&1) || true
printf '%s
' "$out" | grep -q 'graphical session' || fail "installed bitoner said: $out"
for size in 16 22 24 32 48 64 128 256; do
  icon=share/icons/hicolor/${size}x$size/apps/bitoner.png
  file "$icon" | grep -q "PNG image data, $size x $size," || fail "$icon: $(file -b "$icon")"
done
# Nothing lands outside the prefix.
[ "$(ls -A "$STAGE")" = opt ] || fail "installed outside the prefix: $(ls -A "$STAGE")"

desktop-file-validate share/applications/org.bitoner.Bitoner.desktop ||
  fail "desktop-file-validate"
grep -qx 'Icon=bitoner' share/applications/org.bitoner.Bitoner.desktop || fail "desktop icon name"
appstreamcli validate --no-net share/metainfo/org.bitoner.Bitoner.metainfo.xml ||
  fail "appstreamcli validate"
# man prints what groff warns about; a clean page prints nothing on stderr.
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l share/man/man1/bitoner.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
page=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l share/man/man1/bitoner.1.gz 2>/dev/null)
for section in SYNOPSIS 'THE WINDOW' OPTIONS 'EXIT STATUS' EXAMPLES; do
  printf '%s\n' "$page" | grep -q "^$section" || fail "man page lacks $section"
done
echo "ok: installed tree"
