# Zstandard codes blocks (engine/codecs/zstd_block.cc). Both builds use the same
# release, so that a block codes to the same bytes on each: Debian's
# libzstd-dev natively, and for MinGW, which Debian packages no libzstd for,
# a static library built here from Debian's source package of the same
# release, so that the Windows programs stay single files.
#
# Checked by hand on Debian 12: libzstd-dev 1.5.4+dfsg2-5+deb12u1 natively;
# the source package fetched is the newest revision the archive serves,
# 1.5.4+dfsg2-5 (the security pool had no files for -5+deb12u1), unpacked with
# Debian's patches (0020 fixes a block splitter bug in the compressor that
# the native library has fixed too). Both are upstream 1.5.4, so blocks code
# to the same bytes; the Windows build lacks -5+deb12u1's decoder fix
# (CVE-2026-124851) until the archive serves that revision's files: delete
# build-win/zstd-debian then to fetch it. Configuring either build fails if
# its release differs from this one.
set(ZARVIK_ZSTD_VERSION 1.5.4)

if(NOT MINGW)
  find_package(zstd ${ZARVIK_ZSTD_VERSION} EXACT CONFIG)
  if(NOT zstd_FOUND)
    message(FATAL_ERROR "Zstandard ${ZARVIK_ZSTD_VERSION} is missing: install libzstd-dev of that release "
                        "(scripts/ensure-packages.sh)")
  endif()
  # Dynamic, except for programs that set ZARVIK_STATIC_LINK.
  add_library(zarvik_zstd INTERFACE)
  target_link_libraries(zarvik_zstd INTERFACE
    $<IF:$<BOOL:$<TARGET_PROPERTY:ZARVIK_STATIC_LINK>>,zstd::libzstd_static,zstd::libzstd_shared>)
  return()
endif()

include(cmake/debian_source.cmake)
set(zstd_folder ${CMAKE_BINARY_DIR}/zstd-debian)
fetch_debian_source(libzstd Zstandard ${zstd_folder})
set(zstd_lib ${zstd_folder}/source/lib)
version_from_header(${zstd_lib}/zstd.h ZSTD_VERSION_ zstd_source_version MAJOR MINOR RELEASE)
require_pinned_release(libzstd Zstandard ${zstd_source_version} ${ZARVIK_ZSTD_VERSION} ${zstd_folder})

# The library alone: no dictionary builder, no legacy formats, no worker
# threads (ZSTD_MULTITHREAD stays undefined), and none of the x86-64
# assembly, which is written for ELF targets.
file(GLOB zstd_sources ${zstd_lib}/common/*.c ${zstd_lib}/compress/*.c ${zstd_lib}/decompress/*.c)
add_library(zarvik_zstd STATIC ${zstd_sources})
target_compile_definitions(zarvik_zstd PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0)
target_compile_options(zarvik_zstd PRIVATE -w)  # not our code to warn about
target_include_directories(zarvik_zstd SYSTEM PUBLIC ${zstd_lib})
