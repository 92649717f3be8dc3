# cmake/compiler.cmake: stop early, with a readable message, on a compiler or
# standard library that cannot build the tree. The code needs C++23's
# <expected>: GCC 12 with its libstdc++; clang 16 with libc++ 16 (Xcode 15's
# Apple clang); over libstdc++, clang 19, as libstdc++'s <expected> needs the
# C++20 concepts level that clang 16 to 18 do not announce.
include(CheckCXXSourceCompiles)

set(_quorvel_compilers_needed
    "GCC 12 or newer; clang 16 or newer with libc++ 16+ (Apple clang 15 or newer); clang 19 or newer with libstdc++ 12+")

set(_quorvel_minimum_GNU 12)
set(_quorvel_minimum_Clang 16)
set(_quorvel_minimum_AppleClang 15)
set(_quorvel_minimum "${_quorvel_minimum_${CMAKE_CXX_COMPILER_ID}}")
if(_quorvel_minimum AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS _quorvel_minimum)
  message(FATAL_ERROR
    "quorvel needs a C++23 compiler with <expected>: ${_quorvel_compilers_needed}. "
    "This is ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER}); "
    "pick another one with CXX=..., e.g. CXX=g++-12 or CXX=clang++-19.")
elseif(NOT _quorvel_minimum)
  message(WARNING "quorvel is tested with GCC and clang only; ${CMAKE_CXX_COMPILER_ID} may not build it.")
endif()

# The version alone does not vouch for the standard library (clang 16 over
# libstdc++ 11, say): compile what the tree relies on.
# try_compile follows CMAKE_CXX_STANDARD (23), set before this file is included.
check_cxx_source_compiles([[
#include <expected>
#include <span>
struct Error { int code; };
std::expected<int, Error> half(int x) {
  if (x % 2) return std::unexpected(Error{x});
  return x / 2;
}
int main() { return half(4).value_or(1) == 2 ? 0 : 1; }
]] QUORVEL_HAVE_STD_EXPECTED)
if(NOT QUORVEL_HAVE_STD_EXPECTED)
  message(FATAL_ERROR
    "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} cannot compile C++23's std::expected with its "
    "standard library. quorvel needs ${_quorvel_compilers_needed}. "
    "(See CMakeFiles/CMakeConfigureLog.yaml for the compiler's own words.)")
endif()

# std::jthread is still experimental in libc++ before 20 (and in Apple's):
# there it takes -fexperimental-library, for the compiler and the linker.
check_cxx_source_compiles([[
#include <thread>
int main() { std::jthread worker([] {}); }
]] QUORVEL_HAVE_JTHREAD)
if(NOT QUORVEL_HAVE_JTHREAD)
  set(CMAKE_REQUIRED_FLAGS -fexperimental-library)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fexperimental-library)
  check_cxx_source_compiles([[
#include <thread>
int main() { std::jthread worker([] {}); }
]] QUORVEL_HAVE_EXPERIMENTAL_JTHREAD)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT QUORVEL_HAVE_EXPERIMENTAL_JTHREAD)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} has no std::jthread. "
                        "quorvel needs ${_quorvel_compilers_needed}.")
  endif()
  add_compile_options(-fexperimental-library)
  add_link_options(-fexperimental-library)
endif()
