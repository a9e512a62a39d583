#!/usr/bin/env bash
# Builds the C++ unit tests with ThreadSanitizer and runs them, the
# concurrent-scan test included. Any report fails the script.
source "$(dirname "$0")/common.sh"
cd "$ROOT"

apt_install g++ zlib1g-dev libgtest-dev
[ -x "$VENV/bin/python" ] || setup_venv "${PY_BUILD_DEPS[@]}" "${PY_TEST_DEPS[@]}"
export PATH="$VENV/bin:$PATH"
BUILD="$ROOT/build/ci-tsan"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRAVICK_TESTS=ON -DRAVICK_TSAN=ON -DRAVICK_MODULE=OFF \
  -DPython_EXECUTABLE="$VENV/bin/python" -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

# exitcode 66 is TSan's own; halt_on_error turns the first report into a
# failing test.
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1"

# The TSan runtime needs a fixed memory layout; on kernels with more address
# randomisation than it supports it dies at start-up. Run without
# randomisation there, if the kernel lets us turn it off.
PROBE="$BUILD/ravick/ravick_concurrency_tests"
RUN=()
if ! "$PROBE" --gtest_list_tests >/dev/null 2>&1; then
  if setarch "$(uname -m)" -R "$PROBE" --gtest_list_tests >/dev/null 2>&1; then
    echo "tsan: running without address-space randomisation"
    RUN=(setarch "$(uname -m)" -R)
  else
    "$PROBE" --gtest_list_tests || true
    echo "tsan: the ThreadSanitizer runtime does not start on this machine" >&2
    exit 1
  fi
fi

"${RUN[@]}" ctest --test-dir "$BUILD" --output-on-failure --no-tests=error \
  -j "$(nproc)"
