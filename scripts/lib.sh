# Shared by the scripts: install the Debian packages a task needs, then build into build/.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR="$ROOT/build"

# Debian 12 packages that building and running the program need (one font, so that text shows
# on a system that has none, and window tests measure text the same way everywhere).
RUN_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev qt6-charts-dev
  libsqlite3-dev libtag1-dev libxxhash-dev
  libmpg123-dev libkissfft-dev
  fonts-dejavu-core
)
# What bench/make-corpus needs to make MP3 files.
CORPUS_PACKAGES=(sox lame python3 python3-mutagen)
# What bench/slowmedium (a folder served as slowly as a USB disk or a share) needs to build and
# to mount, for bench/slow-medium-bench alone: no test mounts it, and the build leaves it out
# where libfuse3 is missing.
SLOW_MEDIUM_PACKAGES=(libfuse3-dev fuse3)
# What the tests need on top: GoogleTest, the checkers of what scripts/install writes, and what
# bench/make-corpus needs, which a test runs too. TEST_LOCALE comes on its own.
TEST_PACKAGES=(
  libgtest-dev libgmock-dev
  desktop-file-utils file
  "${CORPUS_PACKAGES[@]}"
)

# A locale whose decimal separator is a comma: a test checks that the numbers the program
# reads and writes do not follow such a desktop.
TEST_LOCALE=de_DE.UTF-8

# Installs whichever of the named packages are missing (as root; otherwise says how, and stops).
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them as root, then run this again:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

# Generates TEST_LOCALE when the system lacks it (from Debian's locales, through
# /etc/locale.gen so that a later locale-gen keeps it).
ensure_test_locale() {
  local wanted=${TEST_LOCALE%%.*}.utf8 known
  known=$(locale -a 2>/dev/null || true)
  grep -qix "$wanted" <<<"$known" && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "The tests need the locale $TEST_LOCALE. Generate it as root, then run this again:" >&2
    echo "  apt-get install -y locales && echo '$TEST_LOCALE UTF-8' >> /etc/locale.gen &&" \
      "locale-gen" >&2
    exit 1
  fi
  install_packages locales
  grep -qx "$TEST_LOCALE UTF-8" /etc/locale.gen 2>/dev/null ||
    echo "$TEST_LOCALE UTF-8" >>/etc/locale.gen
  echo "Generating the locale $TEST_LOCALE"
  locale-gen >/dev/null
}

# ensure_packages run|test|corpus|slow-medium: what that task needs.
ensure_packages() {
  case "${1:-test}" in
    run) install_packages "${RUN_PACKAGES[@]}" ;;
    test)
      install_packages "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
      ensure_test_locale
      ;;
    corpus) install_packages "${CORPUS_PACKAGES[@]}" ;;
    slow-medium) install_packages "${RUN_PACKAGES[@]}" "${SLOW_MEDIUM_PACKAGES[@]}" ;;
    *) echo "ensure_packages: unknown task '$1'" >&2; exit 2 ;;
  esac
}

# build run|test: "run" builds the program and quollsong-mkdb alone, so the first start
# waits for nothing else; "test" builds everything, tests and benchmarks too.
build() {
  local testing=OFF
  [ "${1:-test}" = test ] && testing=ON
  if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING="$testing"
  elif [ "$testing" = ON ] && ! grep -qx 'BUILD_TESTING:BOOL=ON' "$BUILD_DIR/CMakeCache.txt"; then
    # Configured by scripts/run: the tests join the build now.
    cmake -S "$ROOT" -B "$BUILD_DIR" -DBUILD_TESTING=ON
  fi
  if [ "$testing" = ON ]; then
    cmake --build "$BUILD_DIR"
  else
    cmake --build "$BUILD_DIR" --target quollsongdb quollsong-mkdb
  fi
}
