#!/usr/bin/env bash
# Sets up the package and runs the main job on real binaries: Debian's
# protobuf, gRPC, ONNX, OpenCV-DNN and robotics libraries, and containerd's
# Go programs, whose descriptors are stored gzip-compressed.
source "$(dirname "$0")/common.sh"
cd "$ROOT"
setup_venv "${PY_BUILD_DEPS[@]}"
"$VENV/bin/python" -m pip install -q --no-build-isolation .
mapfile -t LIBS < <(bash scripts/fetch_binaries.sh)
mapfile -t GO < <(bash scripts/fetch_go_programs.sh)
"$VENV/bin/ravick" scan "${LIBS[@]}" "${GO[@]}"
