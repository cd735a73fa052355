# libdeflate inflates deflate data held whole into a buffer of known size
# (engine/framings/whole_inflate.cc); zlib still decodes what streams or
# starts from a window. Both builds use the same release: Debian's
# libdeflate-dev natively, dynamic except for programs that set
# ZARVIK_STATIC_LINK, and for MinGW, which Debian packages no libdeflate for,
# a static library built here from Debian's source package libdeflate of the
# same release, so that the Windows programs stay single files.
#
# Checked by hand on Debian 12: libdeflate-dev 1.14-1 natively, and the
# source package fetched is 1.14-1, unpacked with Debian's patches (one, for
# armhf, that the x86-64 build does not compile). Configuring either build
# fails if its release differs from this one.
set(ZARVIK_LIBDEFLATE_VERSION 1.14)

if(NOT MINGW)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBDEFLATE libdeflate=${ZARVIK_LIBDEFLATE_VERSION})
  find_library(ZARVIK_LIBDEFLATE_STATIC NAMES libdeflate.a HINTS ${LIBDEFLATE_LIBRARY_DIRS})
  if(NOT LIBDEFLATE_FOUND OR NOT ZARVIK_LIBDEFLATE_STATIC)
    message(FATAL_ERROR "libdeflate ${ZARVIK_LIBDEFLATE_VERSION} is missing: install libdeflate-dev of that release "
                        "(scripts/ensure-packages.sh)")
  endif()
  find_library(ZARVIK_LIBDEFLATE_SHARED NAMES deflate HINTS ${LIBDEFLATE_LIBRARY_DIRS} REQUIRED)
  add_library(zarvik_libdeflate INTERFACE)
  target_include_directories(zarvik_libdeflate INTERFACE ${LIBDEFLATE_INCLUDE_DIRS})
  target_link_libraries(zarvik_libdeflate INTERFACE
    $<IF:$<BOOL:$<TARGET_PROPERTY:ZARVIK_STATIC_LINK>>,${ZARVIK_LIBDEFLATE_STATIC},${ZARVIK_LIBDEFLATE_SHARED}>)
  return()
endif()

include(cmake/debian_source.cmake)
set(libdeflate_folder ${CMAKE_BINARY_DIR}/libdeflate-debian)
fetch_debian_source(libdeflate libdeflate ${libdeflate_folder})
set(libdeflate_source ${libdeflate_folder}/source)
# The release as libdeflate.h states it (its #defines are tab-separated).
file(STRINGS ${libdeflate_source}/libdeflate.h line REGEX "^#define[ \t]+LIBDEFLATE_VERSION_STRING[ \t]")
string(REGEX MATCH "[0-9][0-9.]*[0-9]" libdeflate_source_version "${line}")
require_pinned_release(libdeflate libdeflate ${libdeflate_source_version} ${ZARVIK_LIBDEFLATE_VERSION}
                       ${libdeflate_folder})

# The library alone, without its programs; its x86 code picks the CPU's
# instructions at run time, and the ARM files compile to nothing here.
file(GLOB libdeflate_sources ${libdeflate_source}/lib/*.c ${libdeflate_source}/lib/x86/*.c)
add_library(zarvik_libdeflate STATIC ${libdeflate_sources})
target_compile_options(zarvik_libdeflate PRIVATE -w)  # not our code to warn about
target_include_directories(zarvik_libdeflate SYSTEM PUBLIC ${libdeflate_source})
