#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, seeds them with real
# serialized descriptors and their fragments, and runs each for a bounded time
# (FUZZ_SECONDS, default 60). Any finding fails the script.
source "$(dirname "$0")/common.sh"
cd "$ROOT"
apt_install clang libclang-rt-dev zlib1g-dev
[ -x "$VENV/bin/python" ] || setup_venv "${PY_BUILD_DEPS[@]}" "${PY_TEST_DEPS[@]}"
export PATH="$VENV/bin:$PATH"
SECONDS_EACH="${FUZZ_SECONDS:-60}"
BUILD="$ROOT/build/fuzz"

CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVICK_FUZZ=ON -DRAVICK_SANITIZE=ON \
  -DRAVICK_MODULE=OFF -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target fuzz_scan fuzz_score fuzz_signatures fuzz_printer

SEEDS="$BUILD/seeds"
"$VENV/bin/python" fuzz/make_seeds.py "$SEEDS"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in fuzz_scan fuzz_score fuzz_signatures fuzz_printer; do
  corpus="$BUILD/corpus-$target"
  mkdir -p "$corpus"
  echo "-- $target for ${SECONDS_EACH}s"
  log="$BUILD/$target.log"
  status=0
  "$BUILD/fuzz/$target" "$corpus" "$SEEDS/$target" -max_total_time="$SECONDS_EACH" \
    -max_len=65536 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$BUILD/$target-" >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)|cov: " "$log" | tail -4 || true
  if [ "$status" -ne 0 ] || ls "$BUILD/$target-"* >/dev/null 2>&1; then
    tail -60 "$log"
    echo "$target: finding (exit $status):" "$BUILD/$target-"* 2>/dev/null || true
    exit 1
  fi
done
echo "fuzz: no findings"
