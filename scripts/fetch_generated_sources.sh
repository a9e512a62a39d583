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
for pkg in "${PACKAGES[@]}"; do
  compgen -G "./${pkg}_*.deb" >/dev/null && continue
  if ! apt-get download -qq "$pkg" >/dev/null 2>&1; then
    as_root apt-get update -qq
    apt-get download -qq "$pkg" >/dev/null
  fi
done
unpack_debs "$OUT/root"
echo "$OUT/root"
