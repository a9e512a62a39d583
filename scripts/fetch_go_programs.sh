#!/usr/bin/env bash
# Fetches Debian Go programs whose descriptors are stored gzip-compressed
# (the Go protobuf runtime registers each file as a gzipped
# FileDescriptorProto) into build/go-programs/ (apt-get download + dpkg -x;
# nothing is installed) and prints the paths of their executables, one a line.
source "$(dirname "$0")/common.sh"
OUT="$ROOT/build/go-programs"
PACKAGES=(containerd)

mkdir -p "$OUT/debs"
cd "$OUT/debs"
download_debs "${PACKAGES[@]}"
unpack_debs "$OUT/root"
find "$OUT/root/usr/bin" -type f -perm -u+x | sort
