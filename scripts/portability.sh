#!/usr/bin/env bash
# Runs the C++ suite in the builds that a stock x86-64 Debian machine does not
# cover by default:
#
#   zlib      GCC, DEFLATE through zlib alone (-DQUORVEL_WITH_LIBDEFLATE=OFF)
#   libc++    clang 19 with LLVM's C++ standard library (macOS's library)
#   aarch64   GCC cross-compiled for 64-bit Arm (portable kernels only), run under qemu-user
#
#   scripts/portability.sh                 # all three
#   scripts/portability.sh aarch64 zlib    # some of them
#
# Installs what is missing (clang 19 and libc++ 19, the aarch64 cross compiler,
# qemu-user, arm64 zlib and libdeflate). GoogleTest is built from Debian's
# sources (/usr/src/googletest) for libc++ and for arm64. Builds go to
# build-portability/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(zlib libc++ aarch64)
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
gtest_source=/usr/src/googletest

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_install() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

bash scripts/install-deps.sh
apt_install googletest
for build in "${builds[@]}"; do
  case "$build" in
    libc++) apt_install clang-19 libc++-19-dev libc++abi-19-dev ;;
    aarch64)
      dpkg --print-foreign-architectures | grep -qx arm64 || "${sudo_cmd[@]}" dpkg --add-architecture arm64
      apt_install g++-aarch64-linux-gnu qemu-user zlib1g-dev:arm64 libdeflate-dev:arm64 ;;
    zlib) ;;
    *) echo "unknown build '$build' (expected zlib, libc++ or aarch64)" >&2; exit 2 ;;
  esac
done

# run_suite NAME CTEST-ARGS... -- CMAKE-ARGS...
run_suite() {
  local name="$1" dir="build-portability/$1"
  shift
  local ctest_args=()
  while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  echo
  echo "=== Portability build '$name': $*"
  # Only the lines that tell the builds apart; errors still show (stderr).
  cmake -S . -B "$dir" -Wno-deprecated -DCMAKE_BUILD_TYPE=Release "$@" |
    { grep -E "^-- (The CXX compiler identification|DEFLATE|Vector kernels)" || true; }
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}"
  echo "=== Portability build '$name': passed"
}

for build in "${builds[@]}"; do
  case "$build" in
    zlib) run_suite zlib -- -DQUORVEL_WITH_LIBDEFLATE=OFF ;;
    libc++)
      CC=clang-19 CXX=clang++-19 CXXFLAGS="-stdlib=libc++" LDFLAGS="-stdlib=libc++" \
        run_suite libc++ -- -DQUORVEL_GTEST_SOURCE_DIR="$gtest_source" ;;
    aarch64)
      # Death tests fork the emulated process, which hangs under qemu-user
      # (and their re-exec style runs qemu itself): they run natively above.
      run_suite aarch64 --exclude-regex DeathTest -- -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
        -DQUORVEL_GTEST_SOURCE_DIR="$gtest_source" ;;
  esac
done
