#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ unit tests (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer), the fuzz targets for a
# bounded time, mypy and ruff, and the Python tests against the installed
# package.
source "$(dirname "$0")/common.sh"
cd "$ROOT"

apt_install g++ zlib1g-dev libgtest-dev clang libclang-rt-dev clang-format \
  protobuf-compiler mono-mcs openjdk-17-jdk-headless gdb
setup_venv "${PY_BUILD_DEPS[@]}" "${PY_TEST_DEPS[@]}"
export PATH="$VENV/bin:$PATH"
PY="$VENV/bin/python"

configure_and_test() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DRAVICK_TESTS=ON -DRAVICK_MODULE=OFF \
    -DPython_EXECUTABLE="$PY" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)"
}

echo "== clang-format"
# Layout is pinned to Debian 12's clang-format 14; other versions format a
# few constructs differently.
if clang-format --version | grep -q "version 14\."; then
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
else
  echo "skipped: $(clang-format --version) is not version 14"
fi

echo "== C++ unit tests (warnings are errors)"
configure_and_test build/ci-release -DCMAKE_CXX_FLAGS=-Werror
echo "== C++ unit tests under ASan + UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  configure_and_test build/ci-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVICK_SANITIZE=ON

echo "== C++ unit tests under ThreadSanitizer"
bash scripts/tsan.sh

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz targets (bounded)"
  FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash scripts/fuzz.sh
fi

echo "== Python package: install, mypy, ruff"
"$PY" -m pip install -q --no-build-isolation .
"$PY" -m mypy
ruff check python tests bench
ruff format --check python

echo "== Python tests"
setup_protoc_venv
export RAVICK_PROTOC_PYTHON="$PROTOC_VENV/bin/python"
"$PY" -m pytest -q tests

echo "== layered finder fuzzing (atheris, bounded)"
LAYER_CORPUS="$ROOT/build/fuzz/corpus-fuzz_layers"
mkdir -p "$LAYER_CORPUS"
"$PY" fuzz/make_seeds.py "$ROOT/build/fuzz/seeds"
"$PY" fuzz/fuzz_layers.py "$LAYER_CORPUS" "$ROOT/build/fuzz/seeds/fuzz_layers" \
  -max_total_time="${FUZZ_SECONDS:-60}" -rss_limit_mb=4096 -timeout=30 \
  -artifact_prefix="$ROOT/build/fuzz/fuzz_layers-" 2>&1 | tail -5
echo "fuzz_layers: no findings"
