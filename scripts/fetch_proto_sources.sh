#!/usr/bin/env bash
# Fetches the .proto sources that Debian ships in golang-google-protobuf-dev
# (including its editions, proto2 and proto3 test files), libprotobuf-dev and
# grpc-proto into build/proto-sources/ (apt-get download + dpkg -x; nothing is
# installed) and prints the root of each package's tree, one a line, as
# "<package> <directory>". The printer's round-trip tests compile them.
source "$(dirname "$0")/common.sh"
OUT="$ROOT/build/proto-sources"
PACKAGES=(golang-google-protobuf-dev libprotobuf-dev grpc-proto)

mkdir -p "$OUT/debs"
cd "$OUT/debs"
updated=0
for pkg in "${PACKAGES[@]}"; do
  compgen -G "./${pkg}_*.deb" >/dev/null && continue
  if ! apt-get download -qq "$pkg" >/dev/null 2>&1; then
    if [ "$updated" = 0 ]; then
      as_root apt-get update -qq
      updated=1
    fi
    apt-get download -qq "$pkg" >/dev/null
  fi
done
for pkg in "${PACKAGES[@]}"; do
  deb="$(compgen -G "./${pkg}_*.deb" | head -n 1)"
  [ -d "$OUT/$pkg" ] || dpkg -x "$deb" "$OUT/$pkg"
  echo "$pkg $OUT/$pkg"
done
