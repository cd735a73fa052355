# libbz2 decodes .tar.bz2 (engine/framings/bzip2_framing.cc). Both builds use
# the same release: Debian's libbz2-dev natively, dynamic except for programs
# that set ZARVIK_STATIC_LINK, and for MinGW, which Debian packages no libbz2
# for, a static library built here from Debian's source package bzip2 of the
# same release, so that the Windows programs stay single files.
#
# Checked by hand on Debian 12: libbz2-dev 1.0.8-5+b1 natively (a rebuild of
# source 1.0.8-5), and the source package fetched is 1.0.8-5, unpacked with
# Debian's patches. Configuring either build fails if its release differs
# from this one.
set(ZARVIK_BZ2_VERSION 1.0.8)

if(NOT MINGW)
  find_package(BZip2 ${ZARVIK_BZ2_VERSION} EXACT)
  if(NOT BZip2_FOUND)
    message(FATAL_ERROR "libbz2 ${ZARVIK_BZ2_VERSION} is missing: install libbz2-dev of that release "
                        "(scripts/ensure-packages.sh)")
  endif()
  find_library(ZARVIK_BZ2_STATIC NAMES libbz2.a REQUIRED)
  add_library(zarvik_bz2 INTERFACE)
  target_include_directories(zarvik_bz2 INTERFACE ${BZIP2_INCLUDE_DIRS})
  target_link_libraries(zarvik_bz2 INTERFACE
    $<IF:$<BOOL:$<TARGET_PROPERTY:ZARVIK_STATIC_LINK>>,${ZARVIK_BZ2_STATIC},BZip2::BZip2>)
  return()
endif()

include(cmake/debian_source.cmake)
set(bzip2_folder ${CMAKE_BINARY_DIR}/bzip2-debian)
fetch_debian_source(bzip2 libbz2 ${bzip2_folder})
set(bzip2_source ${bzip2_folder}/source)
# The release, as bzlib.h states it and FindBZip2 reads it natively.
file(STRINGS ${bzip2_source}/bzlib.h line REGEX "bzip2/libbzip2 version [0-9.]+ ")
string(REGEX MATCH "[0-9][0-9.]*[0-9]" bzip2_source_version "${line}")
require_pinned_release(bzip2 libbz2 ${bzip2_source_version} ${ZARVIK_BZ2_VERSION} ${bzip2_folder})

# The library's seven files, without the programs.
set(bz2_sources blocksort.c huffman.c crctable.c randtable.c compress.c decompress.c bzlib.c)
list(TRANSFORM bz2_sources PREPEND ${bzip2_source}/)
add_library(zarvik_bz2 STATIC ${bz2_sources})
target_compile_options(zarvik_bz2 PRIVATE -w)  # not our code to warn about
target_include_directories(zarvik_bz2 SYSTEM PUBLIC ${bzip2_source})
