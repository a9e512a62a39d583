#!/usr/bin/env bash
# Fetches real Debian binaries that embed serialized descriptors into
# build/binaries/ (apt-get download + dpkg -x; nothing is installed) and
# prints the paths of their shared libraries, one a line.
#
# Each line of PACKAGES is one library under the names it has had in Debian
# releases, tried in turn. The first two are required; the others add more
# real descriptors (gRPC's reflection and channelz services and the upb
# definitions compiled into libgrpc, robotics messages, ONNX, OpenCV's model
# importers) and are skipped with a warning when the archive lacks them.
source "$(dirname "$0")/common.sh"
OUT="$ROOT/build/binaries"
REQUIRED=2
PACKAGES=(
  "libprotobuf32t64 libprotobuf32"
  "libprotoc32t64 libprotoc32"
  "libgrpc29t64 libgrpc29"
  "libgrpc++1.51t64 libgrpc++1.51"
  "libignition-msgs8-8t64 libignition-msgs8-8"
  "libonnx1t64 libonnx1"
  "libopencv-dnn406t64 libopencv-dnn406"
)

mkdir -p "$OUT/debs"
cd "$OUT/debs"

have_deb() {
  local pkg
  for pkg in "$@"; do
    compgen -G "./${pkg}_*.deb" >/dev/null && return 0
  done
  return 1
}

download_one_of() {
  local pkg
  for pkg in "$@"; do
    apt-get download -qq "$pkg" >/dev/null 2>&1 && return 0
  done
  return 1
}

updated=0
for k in "${!PACKAGES[@]}"; do
  read -r -a names <<<"${PACKAGES[$k]}"
  have_deb "${names[@]}" && continue
  if ! download_one_of "${names[@]}"; then
    if [ "$updated" = 0 ]; then
      as_root apt-get update -qq
      updated=1
    fi
    if ! download_one_of "${names[@]}"; then
      if [ "$k" -lt "$REQUIRED" ]; then
        echo "cannot download any of: ${names[*]}" >&2
        exit 1
      fi
      echo "skipping unavailable package: ${names[*]}" >&2
    fi
  fi
done

unpack_debs "$OUT/root"
find "$OUT/root" -name '*.so*' -type f | sort
