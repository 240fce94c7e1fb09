#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package as a user gets it: built by CPack, its contents and dependencies, lintian,
# and the program run from the unpacked package.
#   package_test.sh BUILD_DIR
set -eu
BUILD=$1
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$SCRATCH/out" >"$SCRATCH/cpack.log" 2>&1 ||
  { cat "$SCRATCH/cpack.log"; fail "cpack"; }
deb=$(ls "$SCRATCH"/out/bitoner_*.deb)

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/bitoner ./usr/share/applications/org.bitoner.Bitoner.desktop \
  ./usr/share/metainfo/org.bitoner.Bitoner.metainfo.xml ./usr/share/man/man1/bitoner.1.gz \
  ./usr/share/doc/bitoner/copyright ./usr/share/icons/hicolor/256x256/apps/bitoner.png \
  ./usr/share/icons/hicolor/scalable/apps/bitoner.svg; do
  printf '%s\n' "$contents" | grep -qx "$f" || fail "$f missing from the package"
done

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dep in libc6 libpulse0 libqt6widgets6 qt6-qpa-plugins fonts-liberation; do
  printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$dep\b" || fail "no dependency on $dep"
done
case "$depends" in *pulseaudio* | *pipewire*) fail "the package depends on a sound server" ;; esac

# On a machine with nothing installed, apt finds everything it needs, and no sound server.
if apt-cache show qt6-qpa-plugins >/dev/null 2>&1; then
  : >"$SCRATCH/empty-status"
  plan=$(apt-get -s -o Dir::State::status="$SCRATCH/empty-status" install \
    --no-install-recommends "$deb" 2>&1) || fail "apt cannot install the package: $plan"
  printf '%s\n' "$plan" | grep -q '^Inst bitoner ' || fail "apt would not install it: $plan"
  if printf '%s\n' "$plan" | grep -E '^Inst (pulseaudio|pipewire-pulse) '; then
    fail "installing the package installs a sound server"
  fi
else
  echo "note: no apt package lists, the installation on an empty machine is not simulated"
fi

lintian --fail-on error "$deb" ||
  fail "lintian reports errors"

dpkg-deb -x "$deb" "$SCRATCH/root"
# The unpacked program runs from the package's files alone.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY "$SCRATCH/root/usr/bin/bitoner" --version 2>&1) ||
  fail "unpacked bitoner --version failed: $version"
printf '%s\n' "$version" | grep -q '^bitoner [0-9]' || fail "unpacked bitoner --version said: $version"
# Without a graphical session the unpacked program explains itself instead of aborting.
status=0
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$SCRATCH/root/usr/bin/bitoner" 2>&1) ||
  status=$?
[ "$status" = 1 ] || fail "unpacked bitoner: status $status: $out"
printf '%s\n' "$out" | grep -q 'graphical session' || fail "unpacked bitoner said: $out"
echo "ok: package"
