#!/usr/bin/env bash
# Fetches Debian packages that ship protobuf generated code (Go, Rust, Ruby
# and PHP runtimes, and the Java runtime's compiled classes) into
# build/generated-sources/ (apt-get download + dpkg -x;
# nothing is installed) and prints the unpacked root.
source "$(dirname "$0")/common.sh"
OUT="$ROOT/build/generated-sources"
PACKAGES=(
  golang-google-protobuf-dev
  golang-github-gogo-protobuf-dev
  librust-protobuf-dev
  ruby-google-protobuf
  php-google-protobuf
  libprotobuf-java
)

mkdir -p "$OUT/debs"
cd "$OUT/debs"
download_debs "${PACKAGES[@]}"
unpack_debs "$OUT/root"
echo "$OUT/root"
