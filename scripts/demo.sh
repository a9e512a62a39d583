#!/usr/bin/env bash
# Sets up the package and runs the main job on real binaries: Debian's
# protobuf, gRPC, ONNX, OpenCV-DNN and robotics libraries, and containerd's
# Go programs, whose descriptors are stored gzip-compressed. It lists what
# they carry, extracts it as a tree of .proto files and a descriptor set under
# build/demo/, and compiles the tree with protoc to show that it builds.
source "$(dirname "$0")/common.sh"
cd "$ROOT"
apt_install g++ zlib1g-dev
setup_venv "${PY_BUILD_DEPS[@]}"
"$VENV/bin/python" -m pip install -q --no-build-isolation .
setup_protoc_venv
mapfile -t INPUTS < <(bash scripts/fetch_binaries.sh; bash scripts/fetch_go_programs.sh)
DEMO="$ROOT/build/demo"
mkdir -p "$DEMO"

echo "== ravick scan"
"$VENV/bin/ravick" scan "${INPUTS[@]}"
echo
echo "== ravick extract into $DEMO/out"
"$VENV/bin/ravick" extract "${INPUTS[@]}" -o "$DEMO/out" \
  --descriptor-set "$DEMO/descriptors.pb" --force
"$VENV/bin/ravick" extract "${INPUTS[@]}" -o "$DEMO/out" \
  --descriptor-set "$DEMO/descriptors.pb" --force --json >"$DEMO/report.json"
echo
echo "== protoc over the tree"
"$VENV/bin/python" scripts/compile_tree.py "$DEMO/report.json" "$PROTOC_VENV/bin/python"
