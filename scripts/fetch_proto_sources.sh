#!/usr/bin/env bash
# Fetches the .proto sources that Debian packages ship into
# build/proto-sources/ (apt-get download + dpkg -x; nothing is installed) and
# prints the root of each package's tree, one a line, as
# "<package> <directory>". The printer's round-trip tests compile them.
#
# The first three packages are required: golang-google-protobuf-dev (with its
# editions, proto2 and proto3 test files), libprotobuf-dev and grpc-proto. The
# others add more real schemas (gogo protobuf and the services built on it,
# robotics messages, ONNX, the Go and Rust protobuf libraries' test files) and
# are skipped with a warning when the archive lacks them. About 25 MB of
# packages in all.
source "$(dirname "$0")/common.sh"
OUT="$ROOT/build/proto-sources"
REQUIRED=3
PACKAGES=(
  golang-google-protobuf-dev
  libprotobuf-dev
  grpc-proto
  golang-etcd-server-dev
  golang-gitaly-proto-dev
  golang-github-centrifugal-protocol-dev
  golang-github-checkpoint-restore-go-criu-dev
  golang-github-containerd-cgroups-dev
  golang-github-containerd-containerd-dev
  golang-github-containerd-continuity-dev
  golang-github-docker-docker-dev
  golang-github-go-macaroon-bakery-macaroonpb-dev
  golang-github-gogo-googleapis-dev
  golang-github-gogo-protobuf-dev
  golang-github-golang-groupcache-dev
  golang-github-golang-protobuf-1-3-dev
  golang-github-golang-protobuf-1-5-dev
  golang-github-google-certificate-transparency-dev
  golang-github-google-pprof-dev
  golang-github-googleapis-gnostic-dev
  golang-github-grafana-grafana-plugin-model-dev
  golang-github-grpc-ecosystem-go-grpc-middleware-dev
  golang-github-grpc-ecosystem-grpc-gateway-dev
  golang-github-grpc-ecosystem-grpc-opentracing-dev
  golang-github-hashicorp-go-plugin-dev
  golang-github-lightstep-lightstep-tracer-common-dev
  golang-github-m3db-prometheus-client-model-dev
  golang-github-mesos-mesos-go-dev
  golang-github-opentracing-basictracer-go-dev
  golang-github-openzipkin-zipkin-go-dev
  golang-github-prometheus-client-model-dev
  golang-github-rootless-containers-proto-dev
  golang-github-syncthing-syncthing-dev
  golang-github-victoriametrics-victoriametrics-dev
  golang-go.opencensus-dev
  golang-google-grpc-dev
  golang-protobuf-extensions-dev
  bazel-rules-proto
  criu
  libignition-msgs-dev
  libonnx-dev
  libosmpbf-dev
  libprotoc-dev
  libprotobuf-c-dev
  librust-ipfs-unixfs-dev
  librust-parsec-interface-dev
  librust-prometheus-dev
  librust-prost-build-dev
  librust-protobuf-codegen-pure-dev
  librust-quick-protobuf-dev
  librust-ttrpc-dev
  nanopb
  python3-grpc-tools
  python3-onnx
  r-cran-rprotobuf
)

mkdir -p "$OUT/debs"
cd "$OUT/debs"

missing=()
for pkg in "${PACKAGES[@]}"; do
  compgen -G "./${pkg}_*.deb" >/dev/null || missing+=("$pkg")
done
download() {
  local pkg
  for pkg in "$@"; do
    apt-get download -qq "$pkg" >/dev/null 2>&1 || echo "$pkg"
  done
}
if [ ${#missing[@]} -gt 0 ]; then
  mapfile -t missing < <(download "${missing[@]}")
fi
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update -qq
  mapfile -t missing < <(download "${missing[@]}")
fi

for k in "${!PACKAGES[@]}"; do
  pkg="${PACKAGES[$k]}"
  deb="$(compgen -G "./${pkg}_*.deb" | head -n 1 || true)"
  if [ -z "$deb" ]; then
    if [ "$k" -lt "$REQUIRED" ]; then
      echo "cannot download $pkg" >&2
      exit 1
    fi
    echo "skipping unavailable package: $pkg" >&2
    continue
  fi
  # Unpacked beside the tree and moved into place, so that no caller sees
  # half a tree.
  if [ ! -d "$OUT/$pkg" ]; then
    rm -rf "$OUT/$pkg.tmp.$$"
    dpkg -x "$deb" "$OUT/$pkg.tmp.$$"
    mv -T "$OUT/$pkg.tmp.$$" "$OUT/$pkg" 2>/dev/null || rm -rf "$OUT/$pkg.tmp.$$"
  fi
  echo "$pkg $OUT/$pkg"
done
