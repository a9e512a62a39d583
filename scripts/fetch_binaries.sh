#!/usr/bin/env bash
# Fetches real Debian binaries that embed serialized descriptors into
# build/binaries/ (apt-get download + dpkg -x; nothing is installed) and
# prints the paths of their shared libraries.
source "$(dirname "$0")/common.sh"
OUT="$ROOT/build/binaries"
mkdir -p "$OUT/debs"
cd "$OUT/debs"
if ! ls ./*.deb >/dev/null 2>&1; then
  as_root apt-get update -qq
  for group in "libprotobuf32t64 libprotobuf32" "libprotoc32t64 libprotoc32"; do
    for pkg in $group; do
      if apt-get download -qq "$pkg" >/dev/null 2>&1; then break; fi
    done
  done
fi
for deb in ./*.deb; do dpkg -x "$deb" "$OUT/root"; done
find "$OUT/root" -name '*.so.*' -type f | sort
