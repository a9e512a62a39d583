#!/usr/bin/env bash
# Sets up the module and runs the main job on real binaries: Debian's protobuf
# runtime and compiler libraries, which embed the descriptors of the
# well-known types and of the compiler plugin protocol.
source "$(dirname "$0")/common.sh"
cd "$ROOT"
setup_venv "${PY_BUILD_DEPS[@]}"
"$VENV/bin/python" -m pip install -q --no-build-isolation .
mapfile -t LIBS < <(bash scripts/fetch_binaries.sh)
"$VENV/bin/python" tools/ravick_scan.py "${LIBS[@]}"
