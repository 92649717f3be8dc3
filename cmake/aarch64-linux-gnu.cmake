# cmake/aarch64-linux-gnu.cmake: cross-compiling for 64-bit Arm Linux with
# Debian's cross toolchain (g++-aarch64-linux-gnu) and arm64 libraries
# installed beside the native ones (dpkg --add-architecture arm64; zlib1g-dev:arm64).
# Tests run under qemu-user: CTest and test discovery go through the emulator.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DQUORVEL_GTEST_SOURCE_DIR=/usr/src/googletest
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The arm64 libraries live in /usr/lib/aarch64-linux-gnu, the cross C and C++
# runtimes in /usr/aarch64-linux-gnu; never pick up a build machine library.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# qemu-user 7.2 hangs in pthread_create of dynamically linked arm64 programs:
# the test suite is linked statically (tests/cpp/CMakeLists.txt), and with it
# static zlib and libdeflate. The memory tests, which replace malloc and start
# no threads, stay dynamic.
set(QUORVEL_STATIC_TEST_SUITE ON)
set(ZLIB_USE_STATIC_LIBS ON)
set(QUORVEL_LIBDEFLATE_STATIC ON)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
