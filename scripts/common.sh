# Shared set-up for the scripts in this folder: Debian packages, the project
# venv and an incremental build of the module. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
# CMake and Ninja come from PyPI into the venv.
APT_PACKAGES=(ffmpeg libtbb-dev libsimdjson-dev libicu-dev libgtest-dev g++
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libturbojpeg0-dev pkg-config)

log() { printf '==> %s\n' "$*" >&2; }

ensure_apt() {
  local missing=()
  for pkg in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

ensure_venv() {
  if [ ! -x "$PY" ]; then
    log "creating $VENV"
    python3 -m venv "$VENV"
  fi
  local stamp="$VENV/.velmar-deps"
  # numpy only lets the tests pass NumPy bool scalars; it is no runtime need.
  local want="scikit-build-core>=0.10 cmake>=3.24 ninja pytest>=7 hypothesis>=6 numpy"
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    log "installing build and test tools into the venv"
    "$PY" -m pip install -q --upgrade pip
    # shellcheck disable=SC2086
    "$PY" -m pip install -q $want
    echo "$want" >"$stamp"
  fi
}

# Builds and installs the module into the venv. The build directory is kept,
# so a second run only recompiles what changed.
install_module() {
  log "building and installing velmar"
  "$PY" -m pip install -q --no-build-isolation --no-deps "$ROOT" \
    ${VELMAR_CMAKE_DEFINE:+--config-settings=cmake.define.$VELMAR_CMAKE_DEFINE}
}

# Builds the GoogleTest suite of the core in build/native.
build_native_tests() {
  local dir="$ROOT/build/native${1:+-$1}"
  shift || true
  log "building the native tests in $dir"
  "$VENV/bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DVELMAR_NATIVE_TESTS=ON -DVELMAR_PYTHON_MODULE=OFF "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir" >/dev/null
}

setup_all() {
  ensure_apt
  ensure_venv
  install_module
}
