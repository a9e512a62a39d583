#!/usr/bin/env bash
# Sets up and runs the scan benchmark: builds the native benchmark in
# Release, writes its input files to build/bench-data (random bytes, slices of
# ELF files, a synthetic image with thousands of real descriptors), fetches
# the real binaries, and prints a markdown table of the results.
#
# BENCH_PYTHON names an interpreter that already has the build and data
# dependencies, instead of the .venv set up here; BENCH_SAMPLES sets the
# number of timed samples per measurement (default 7).
source "$(dirname "$0")/common.sh"
cd "$ROOT"

apt_install g++ zlib1g-dev
if [ -n "${BENCH_PYTHON:-}" ]; then
  PY="$BENCH_PYTHON"
else
  setup_venv "${PY_BUILD_DEPS[@]}" "googleapis-common-protos==1.76.0"
  PY="$VENV/bin/python"
fi
export PATH="$(dirname "$PY"):$PATH"

BUILD="$ROOT/build/bench"
DATA="$ROOT/build/bench-data"
SAMPLES="${BENCH_SAMPLES:-7}"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRAVICK_BENCH=ON \
  -DRAVICK_MODULE=OFF -DRAVICK_TESTS=OFF -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target ravick_bench >/dev/null
BENCH="$BUILD/bench/ravick_bench"

if [ ! -f "$DATA/synthetic.ranges" ] ||
  [ bench/make_data.py -nt "$DATA/synthetic.ranges" ]; then
  "$PY" bench/make_data.py "$DATA"
fi
mapfile -t LIBS < <(bash scripts/fetch_binaries.sh)

model="$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
echo "Machine: ${model:-unknown CPU}, $(nproc) cores; $(uname -sr);" \
  "$(c++ --version | head -n 1); Release build (-O3);" \
  "times are thread CPU time, best of $SAMPLES samples (median in brackets)."
echo
"$BENCH" --header
"$BENCH" --samples "$SAMPLES" --label "(a) random bytes" "$DATA/random.bin"
"$BENCH" --samples "$SAMPLES" --label "(b) ELF slices, no protobuf users" \
  "$DATA/elf.bin"
"$BENCH" --samples "$SAMPLES" --label "(c) ${#LIBS[@]} Debian libraries" "${LIBS[@]}"
"$BENCH" --samples "$SAMPLES" --label "(d) synthetic image" \
  --expect "$DATA/synthetic.ranges" "$DATA/synthetic.bin"
