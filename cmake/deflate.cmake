# cmake/deflate.cmake: the DEFLATE libraries behind the codec, as the interface
# target quorvel_deflate.
#
# zlib is always needed: the decoder's streaming inflate is the reference for
# truncated and damaged payloads. libdeflate, when found, compresses and
# inflates whole streams two to three times faster; without it zlib does
# everything: the containers are the same format and decode to the same
# signals, only the DEFLATE bytes inside may differ.
#
#   QUORVEL_WITH_LIBDEFLATE=OFF       use zlib alone even when libdeflate exists
#   QUORVEL_LIBDEFLATE_STATIC=ON      prefer libdeflate.a (wheels carry no libdeflate.so)
#
# libdeflate is looked for through its CMake package (libdeflate 1.15 and
# later install one), then pkg-config, then a plain header and library search.
find_package(ZLIB REQUIRED)

add_library(quorvel_deflate INTERFACE)
target_link_libraries(quorvel_deflate INTERFACE ZLIB::ZLIB)

function(quorvel_find_libdeflate out_target out_where)
  find_package(libdeflate CONFIG QUIET)
  set(preferred libdeflate::libdeflate_shared libdeflate::libdeflate_static)
  if(QUORVEL_LIBDEFLATE_STATIC)
    list(REVERSE preferred)
  endif()
  foreach(candidate ${preferred})
    if(TARGET ${candidate})
      set(${out_target} ${candidate} PARENT_SCOPE)
      set(${out_where} "CMake package ${libdeflate_DIR}" PARENT_SCOPE)
      return()
    endif()
  endforeach()

  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PC_LIBDEFLATE QUIET libdeflate)
  endif()
  set(names deflate)
  if(QUORVEL_LIBDEFLATE_STATIC)
    set(names libdeflate.a deflate)
  endif()
  find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h HINTS ${PC_LIBDEFLATE_INCLUDE_DIRS})
  find_library(LIBDEFLATE_LIBRARY NAMES ${names} NAMES_PER_DIR HINTS ${PC_LIBDEFLATE_LIBRARY_DIRS})
  if(LIBDEFLATE_INCLUDE_DIR AND LIBDEFLATE_LIBRARY)
    add_library(quorvel_libdeflate UNKNOWN IMPORTED GLOBAL)
    set_target_properties(quorvel_libdeflate PROPERTIES
      IMPORTED_LOCATION "${LIBDEFLATE_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${LIBDEFLATE_INCLUDE_DIR}")
    set(${out_target} quorvel_libdeflate PARENT_SCOPE)
    set(${out_where} "${LIBDEFLATE_LIBRARY}" PARENT_SCOPE)
  endif()
endfunction()

set(QUORVEL_LIBDEFLATE_TARGET "")
if(QUORVEL_WITH_LIBDEFLATE)
  quorvel_find_libdeflate(QUORVEL_LIBDEFLATE_TARGET libdeflate_where)
endif()

if(QUORVEL_LIBDEFLATE_TARGET)
  message(STATUS "DEFLATE: libdeflate (${libdeflate_where}), zlib for streaming inflate")
  target_link_libraries(quorvel_deflate INTERFACE ${QUORVEL_LIBDEFLATE_TARGET})
  target_compile_definitions(quorvel_deflate INTERFACE QUORVEL_HAVE_LIBDEFLATE=1)
else()
  if(QUORVEL_WITH_LIBDEFLATE)
    set(reason "libdeflate not found (install libdeflate-dev or libdeflate, or add its prefix to CMAKE_PREFIX_PATH)")
  else()
    set(reason "QUORVEL_WITH_LIBDEFLATE is OFF")
  endif()
  message(STATUS "DEFLATE: zlib alone: ${reason}. "
                 "Compression runs about 2-3x slower and decoding somewhat slower; containers are the same.")
  target_compile_definitions(quorvel_deflate INTERFACE QUORVEL_HAVE_LIBDEFLATE=0)
endif()
