#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Every command starts without the libraries only some of them use: FFTW (decode, grab), libpng
# and FreeType (grab) are loaded when first needed, never linked, so a beacon on a small box maps
# none of them.
#   light_start_test.sh BITONER
set -eu
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "linked: $(echo $needed)"
for library in libfftw3 libpng libfreetype; do
  if printf '%s\n' "$needed" | grep -q "^$library"; then
    echo "FAIL: $1 links $library"
    exit 1
  fi
done
