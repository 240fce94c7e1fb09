#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The window asked for where there is no graphical session: one line that says so and points to
# the command line, status 1, no abort.
#   no_display_test.sh BITONER
set -eu
BITONER=$1
fail() { echo "FAIL: $*"; exit 1; }

# No display at all, and a display named that nobody serves.
for display in none :97; do
  status=0
  if [ "$display" = none ]; then
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$BITONER" 2>&1) || status=$?
  else
    out=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=$display "$BITONER" 2>&1) ||
      status=$?
  fi
  [ "$status" = 1 ] || fail "display $display: status $status: $out"
  printf '%s\n' "$out" | tail -n 1 | grep -q 'graphical session.*bitoner --help' ||
    fail "display $display: $out"
  echo "ok: display $display: $out"
done
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$BITONER" 2>&1 | wc -l)" = 1 ] ||
  fail "more than one line without a display"
