#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Chooses and installs the Debian packages that building, running, packaging or testing Bitoner
# need, without ever replacing the machine's sound server.
#
#   tools/deps.sh list    run|package|test   every package the purpose needs, one per line
#   tools/deps.sh missing run|package|test   those of them that are not installed
#   tools/deps.sh install run|package|test   installs the missing ones (apt-get, through sudo
#                                            when not root)
#
# Running needs only the PulseAudio client library, which PulseAudio and PipeWire desktops both
# serve. The tests start private sound servers of their own, from whichever server packages the
# machine has. A missing server is added only to a machine that has no sound server yet, and only
# where apt says that removes nothing: on a PipeWire desktop pipewire-audio conflicts with
# pulseaudio, so installing it would take the desktop's sound with it, and a second server's
# user service beside a desktop's own would compete with it for the session's socket.
#
# BITONER_DPKG_STATUS names the dpkg status file to judge by (default: the machine's), so the
# choice can be checked against a simulated machine.
set -eu

STATUS=${BITONER_DPKG_STATUS:-/var/lib/dpkg/status}

BUILD_PACKAGES="g++ cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libpulse-dev
  libcli11-dev nlohmann-json3-dev libfftw3-dev libgcrypt20-dev libpng-dev libfreetype-dev
  fonts-liberation"
PACKAGE_TOOLS="dpkg-dev file lintian"
TEST_PACKAGES="libgtest-dev libbenchmark-dev libsndfile1-dev clang-format xvfb libxcb1-dev
  pulseaudio-utils libxcb-xtest0-dev clang libfuzzer-14-dev libclang-rt-14-dev llvm-14
  desktop-file-utils appstream man-db systemd sox gnuplot-nox faketime"
# Each group is installed whole or not at all.
PIPEWIRE_SERVER="pipewire pipewire-pulse wireplumber"
PULSEAUDIO_SERVER="pulseaudio"

usage() {
  echo "usage: $0 list|missing|install run|package|test" >&2
  exit 2
}

# The status of one package in $STATUS: "install ok installed" when it is installed.
installed() {
  awk -v want="$1" '
    /^Package: / { name = $2 }
    /^Status: / && name == want { sub(/^Status: /, ""); status = $0 }
    END { exit status == "install ok installed" ? 0 : 1 }' "$STATUS"
}

# True when apt can install all the given packages (and what they pull in) without removing
# anything that is installed.
removes_nothing() {
  plan=$(apt-get -s -o Dir::State::status="$STATUS" install --no-install-recommends "$@" \
    2>/dev/null) || return 1
  ! printf '%s\n' "$plan" | grep -q '^Remv '
}

# Prints the group when it is installed, or when it can be added without replacing anything.
server_group() {
  all_installed=yes
  for p in "$@"; do installed "$p" || all_installed=no; done
  if [ "$all_installed" = yes ]; then
    echo "$@"
  elif ! installed pulseaudio && ! installed pipewire-pulse && removes_nothing "$@"; then
    echo "$@"
  fi
}

wanted() {
  case "$1" in
    run) echo $BUILD_PACKAGES ;;
    package) echo $BUILD_PACKAGES $PACKAGE_TOOLS ;;
    test)
      echo $BUILD_PACKAGES $PACKAGE_TOOLS $TEST_PACKAGES
      server_group $PIPEWIRE_SERVER
      server_group $PULSEAUDIO_SERVER
      ;;
    *) usage ;;
  esac
}

missing() {
  for p in $(wanted "$1"); do
    installed "$p" || echo "$p"
  done
}

[ $# -eq 2 ] || usage
case "$2" in run | package | test) ;; *) usage ;; esac
case "$1" in
  list) for p in $(wanted "$2"); do echo "$p"; done ;;
  missing) missing "$2" ;;
  install)
    sudo=
    [ "$(id -u)" = 0 ] || sudo=sudo
    # The server choice asks apt, so a machine without package lists fetches them first.
    if ! ls /var/lib/apt/lists/ 2>/dev/null | grep -q '_Packages'; then
      $sudo apt-get update
    fi
    todo=$(missing "$2")
    if [ -n "$todo" ]; then
      echo "Installing:" $todo
      # shellcheck disable=SC2086
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $todo
    fi
    ;;
  *) usage ;;
esac
