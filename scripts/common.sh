# Shared set-up for the scripts in this folder: Debian packages, the project
# venv and an incremental build of the module. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
# CMake and Ninja come from PyPI into the venv. Chromium renders the
# command's HTML report in a test.
APT_PACKAGES=(ffmpeg libtbb-dev libsimdjson-dev libicu-dev libgtest-dev g++ clang-19
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libturbojpeg0-dev pkg-config
  chromium)
# The clang of the second build: 19 is the first whose concepts level lets
# libstdc++ 12 offer std::expected.
CLANG=clang++-19

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
  # tqdm is the command's progress bar, which the --no-deps install leaves out.
  # OpenTimelineIO and its CMX 3600 adapter read back the command's exports.
  local want="scikit-build-core>=0.10 cmake>=3.24 ninja pytest>=7 hypothesis>=6 numpy tqdm opentimelineio otio-cmx3600-adapter"
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

# The oldest and the newest CPython on the machine (pyenv's), each with a
# small venv of its own for the test tools; the venv's own interpreter when
# pyenv has neither.
TEST_PYTHON_VERSIONS=(3.10 3.13)
TEST_TOOLS="pytest>=7 hypothesis>=6 numpy tqdm opentimelineio otio-cmx3600-adapter distributed"

# Prints the test interpreters, one a line, making their venvs if needed.
test_pythons() {
  local found=0 version base venv
  for version in "${TEST_PYTHON_VERSIONS[@]}"; do
    base="$(compgen -G "$HOME/.pyenv/versions/$version.*/bin/python3" | sort -V | tail -1 || true)"
    [ -n "$base" ] || continue
    venv="$ROOT/.venv-$version"
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.velmar-deps" 2>/dev/null)" != "$TEST_TOOLS" ]; then
      log "making the test venv for Python $version"
      "$base" -m venv "$venv"
      # shellcheck disable=SC2086
      "$venv/bin/python" -m pip install -q $TEST_TOOLS >&2
      echo "$TEST_TOOLS" >"$venv/.velmar-deps"
    fi
    echo "$venv/bin/python"
    found=1
  done
  [ "$found" -eq 1 ] || echo "$PY"
}

# Runs pytest under every test interpreter against one abi3 module: the
# directory holding it goes first on PYTHONPATH, then the command's package
# from the source tree. Extra arguments go to pytest.
run_pytest_everywhere() {
  local module_dir="$1" python
  shift
  for python in $(test_pythons); do
    log "python tests on $("$python" -c 'import platform; print(platform.python_version())')"
    PYTHONPATH="$module_dir:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}" \
      "$python" -m pytest -q -p no:cacheprovider "$@" tests
  done
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

# Runs the native tests of a build directory through CTest, each test with
# its time limit.
run_native_tests() {
  "$VENV/bin/ctest" --test-dir "$1" --output-on-failure -j 2
}

setup_all() {
  ensure_apt
  ensure_venv
  install_module
}
