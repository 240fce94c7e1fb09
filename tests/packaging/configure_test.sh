#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# `make build` on a machine with only what running needs: the project configures without any test
# tool or sound server in sight, and looks for none of them. Simulated, not uninstalled: pkg-config
# sees only the PulseAudio client library, Libgcrypt, FFTW, libpng and FreeType, GoogleTest and
# Google Benchmark are hidden from CMake, and the PATH holds every program but the sound servers.
#   configure_test.sh SOURCE_DIR CMAKE CXX_COMPILER MAKE_PROGRAM
set -eu
SOURCE=$1
CMAKE=$2
CXX=$3
MAKE_PROGRAM=$4
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir "$SCRATCH/pkgconfig" "$SCRATCH/bin"
# Shows pkg-config a module and, as a machine with its -dev package would have them, every module
# it requires, privately or not.
expose() {
  for module in "$@"; do
    [ -e "$SCRATCH/pkgconfig/$module.pc" ] && continue
    ln -s "$(pkg-config --variable=pcfiledir "$module")/$module.pc" "$SCRATCH/pkgconfig/"
    # shellcheck disable=SC2046
    expose $(pkg-config --print-requires --print-requires-private "$module" | cut -d' ' -f1)
  done
}
expose libpulse libgcrypt gpg-error fftw3 libpng freetype2
pkg_config=$(command -v pkg-config)
# The first of each name on the PATH wins, as it would.
old_ifs=$IFS
IFS=:
for dir in $PATH; do
  [ -d "$dir" ] && ln -s "$dir"/* "$SCRATCH/bin/" 2>/dev/null || true
done
IFS=$old_ifs
rm -f "$SCRATCH/bin/pulseaudio" "$SCRATCH/bin/pipewire" "$SCRATCH/bin/pipewire-pulse" \
  "$SCRATCH/bin/wireplumber"

PATH=$SCRATCH/bin PKG_CONFIG_LIBDIR=$SCRATCH/pkgconfig PKG_CONFIG_PATH= \
  "$CMAKE" -S "$SOURCE" -B "$SCRATCH/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$MAKE_PROGRAM" \
  -DCMAKE_CXX_COMPILER="$CXX" -DPKG_CONFIG_EXECUTABLE="$pkg_config" -DBITONER_TESTS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  >"$SCRATCH/configure.log" 2>&1 || { cat "$SCRATCH/configure.log"; fail "configure"; }

# What was looked for is remembered in the cache, found or not.
looked=$(grep -E '^(GTest|GTEST|benchmark|Qt6Test|SNDFILE|PULSE_SIMPLE|XCB|BITONER_PULSEAUDIO|BITONER_PIPEWIRE|BITONER_WIREPLUMBER|SYSTEMD_ANALYZE)|pkg_config_checked_(SNDFILE|PULSE_SIMPLE|XCB)' \
  "$SCRATCH/build/CMakeCache.txt" || true)
[ -z "$looked" ] || fail "configuring without tests looked for test tools: $looked"
grep -q '^BITONER_TESTS:BOOL=OFF' "$SCRATCH/build/CMakeCache.txt" || fail "tests were configured"
echo "ok: configured without test tools"
