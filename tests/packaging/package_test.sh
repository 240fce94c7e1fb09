#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian packages as a user gets them: built by CPack, their contents and dependencies,
# lintian, and the program run from the unpacked packages. bitoner-cli must do for a headless box:
# no Qt and no display stack (only the font its pictures are written with).
#   package_test.sh BUILD_DIR
set -eu
BUILD=$1
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$SCRATCH/out" >"$SCRATCH/cpack.log" 2>&1 ||
  { cat "$SCRATCH/cpack.log"; fail "cpack"; }
cli=$(ls "$SCRATCH"/out/bitoner-cli_*.deb)
window=$(ls "$SCRATCH"/out/bitoner_*.deb)

# has DEB FILE...: every file is in the package.
has() {
  contents=$(dpkg-deb -c "$1" | awk '{print $6}')
  deb=$1
  shift
  for f in "$@"; do
    printf '%s\n' "$contents" | grep -qx "$f" || fail "$f missing from $(basename "$deb")"
  done
}
has "$cli" ./usr/bin/bitoner ./usr/share/man/man1/bitoner.1.gz \
  ./usr/share/doc/bitoner-cli/copyright ./usr/share/doc/bitoner-cli/examples/bitoner-beacon.service
dpkg-deb --fsys-tarfile "$cli" |
  tar -xO ./usr/share/doc/bitoner-cli/examples/bitoner-beacon.service |
  grep -q '^ExecStart=/usr/bin/bitoner beacon ' || fail "the example unit does not run /usr/bin/bitoner"
has "$window" ./usr/libexec/bitoner/bitoner-window ./usr/share/doc/bitoner/copyright \
  ./usr/share/applications/org.bitoner.Bitoner.desktop \
  ./usr/share/metainfo/org.bitoner.Bitoner.metainfo.xml \
  ./usr/share/icons/hicolor/256x256/apps/bitoner.png \
  ./usr/share/icons/hicolor/scalable/apps/bitoner.svg

# depends DEB DEPENDENCY...: the package depends on each.
depends() {
  deps=$(dpkg-deb -f "$1" Depends)
  echo "$(basename "$1") Depends: $deps"
  shift
  for dep in "$@"; do
    printf '%s\n' "$deps" | tr ',' '\n' | sed 's/^ *//' |
      awk -v d="$dep" '$0 == d || index($0, d " (") == 1 { found = 1 } END { exit !found }' ||
      fail "no dependency on $dep"
  done
  case "$deps" in *pulseaudio* | *pipewire*) fail "a package depends on a sound server" ;; esac
}
depends "$cli" libc6 libpulse0 libfftw3-double3 libpng16-16 libfreetype6 fonts-liberation
depends "$window" "bitoner-cli (= $(dpkg-deb -f "$cli" Version))" libqt6widgets6 qt6-qpa-plugins \
  fonts-liberation
case "$(dpkg-deb -f "$cli" Depends)" in *qt* | *fontconfig* | *libx* | *wayland* | *libgl* | *libegl*)
  fail "bitoner-cli depends on a toolkit or a display library" ;;
esac

# On a machine with nothing installed, apt finds everything each needs, and no sound server; the
# command line alone brings no toolkit or display stack (the X client libraries that the
# PulseAudio client library itself needs aside).
if apt-cache show qt6-qpa-plugins >/dev/null 2>&1; then
  : >"$SCRATCH/empty-status"
  for debs in "$cli" "$cli $window"; do
    # shellcheck disable=SC2086
    plan=$(apt-get -s -o Dir::State::status="$SCRATCH/empty-status" install \
      --no-install-recommends $debs 2>&1) || fail "apt cannot install $debs: $plan"
    for deb in $debs; do
      package=$(dpkg-deb -f "$deb" Package)
      printf '%s\n' "$plan" | grep -q "^Inst $package " || fail "apt would not install $package"
    done
    if printf '%s\n' "$plan" | grep -E '^Inst (pulseaudio|pipewire-pulse) '; then
      fail "installing $debs installs a sound server"
    fi
  done
  plan=$(apt-get -s -o Dir::State::status="$SCRATCH/empty-status" install \
    --no-install-recommends "$cli" 2>&1)
  if printf '%s\n' "$plan" | grep -E '^Inst (libqt|qt6|libfontconfig|libgl|libegl|libwayland|libxkb|libdrm|mesa)'; then
    fail "installing bitoner-cli installs the above"
  fi
else
  echo "note: no apt package lists, the installation on an empty machine is not simulated"
fi

lintian --fail-on error,warning "$cli" "$window" || fail "lintian reports errors or warnings"

# The command line alone: it runs, and without the window package says where the window is.
dpkg-deb -x "$cli" "$SCRATCH/cli"
version=$(env -u DISPLAY -u WAYLAND_DISPLAY "$SCRATCH/cli/usr/bin/bitoner" --version 2>&1) ||
  fail "unpacked bitoner --version failed: $version"
printf '%s\n' "$version" | grep -q '^bitoner [0-9]' || fail "unpacked bitoner --version said: $version"
status=0
out=$(DISPLAY=:0 "$SCRATCH/cli/usr/bin/bitoner" 2>&1) || status=$?
[ "$status" = 1 ] || fail "bitoner without its window: status $status: $out"
printf '%s\n' "$out" | grep -q 'bitoner package' || fail "bitoner without its window said: $out"

# Both: without a graphical session the unpacked window explains itself instead of aborting.
dpkg-deb -x "$window" "$SCRATCH/cli"
status=0
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$SCRATCH/cli/usr/bin/bitoner" 2>&1) ||
  status=$?
[ "$status" = 1 ] || fail "unpacked bitoner: status $status: $out"
printf '%s\n' "$out" | grep -q 'graphical session' || fail "unpacked bitoner said: $out"
echo "ok: packages"
