# liblzma decodes .tar.xz (engine/framings/xz_framing.cc). Both builds use the
# same release: Debian's liblzma-dev natively, dynamic except for programs
# that set ZARVIK_STATIC_LINK, and for MinGW, which Debian packages no
# liblzma for, a static library built here from Debian's source package
# xz-utils of the same release, so that the Windows programs stay single
# files.
#
# Checked by hand on Debian 12: liblzma-dev 5.4.1-1+deb12u2 natively, and the
# source package fetched is the same revision, unpacked with Debian's patches.
# Configuring either build fails if its release differs from this one.
set(ZARVIK_LZMA_VERSION 5.4.1)

if(NOT MINGW)
  find_package(LibLZMA ${ZARVIK_LZMA_VERSION} EXACT)
  if(NOT LibLZMA_FOUND)
    message(FATAL_ERROR "liblzma ${ZARVIK_LZMA_VERSION} is missing: install liblzma-dev of that release "
                        "(scripts/ensure-packages.sh)")
  endif()
  find_library(ZARVIK_LZMA_STATIC NAMES liblzma.a REQUIRED)
  add_library(zarvik_lzma INTERFACE)
  target_include_directories(zarvik_lzma INTERFACE ${LIBLZMA_INCLUDE_DIRS})
  target_link_libraries(zarvik_lzma INTERFACE
    $<IF:$<BOOL:$<TARGET_PROPERTY:ZARVIK_STATIC_LINK>>,${ZARVIK_LZMA_STATIC},LibLZMA::LibLZMA>)
  return()
endif()

include(cmake/debian_source.cmake)
set(xz_folder ${CMAKE_BINARY_DIR}/xz-debian)
fetch_debian_source(xz-utils liblzma ${xz_folder})
set(xz_src ${xz_folder}/source/src)
version_from_header(${xz_src}/liblzma/api/lzma/version.h LZMA_VERSION_ xz_source_version MAJOR MINOR PATCH)
require_pinned_release(xz-utils liblzma ${xz_source_version} ${ZARVIK_LZMA_VERSION} ${xz_folder})

# The whole library but its worker threads (no MYTHREAD_*, so none of the
# multithreaded coders, nor the queue and hardware queries that serve them).
# The encoder comes along, as Zstandard's does, so that tests make their .xz
# fixtures on either build. The CRCs are the fast C ones, without the small
# variants, the table generators, or the assembly, which is written for ELF
# targets. What autotools' config.h would say for x86-64 MinGW is given as
# definitions.
file(GLOB lzma_sources ${xz_src}/liblzma/*/*.c)
list(FILTER lzma_sources EXCLUDE REGEX "(_mt|outqueue|hardware_[a-z]+|_small|_tablegen)\\.c$")
add_library(zarvik_lzma STATIC ${lzma_sources})
target_compile_definitions(zarvik_lzma PRIVATE
  HAVE_STDBOOL_H HAVE__BOOL HAVE_STDINT_H HAVE_INTTYPES_H HAVE_VISIBILITY=0
  HAVE___BUILTIN_BSWAPXX HAVE___BUILTIN_ASSUME_ALIGNED TUKLIB_FAST_UNALIGNED_ACCESS
  HAVE_CHECK_CRC32 HAVE_CHECK_CRC64 HAVE_CHECK_SHA256 HAVE_LZIP_DECODER
  HAVE_MF_BT2 HAVE_MF_BT3 HAVE_MF_BT4 HAVE_MF_HC3 HAVE_MF_HC4)
foreach(side DECODER ENCODER)
  target_compile_definitions(zarvik_lzma PRIVATE HAVE_${side}S)
  foreach(filter LZMA1 LZMA2 DELTA X86 ARM ARMTHUMB ARM64 IA64 POWERPC SPARC)
    target_compile_definitions(zarvik_lzma PRIVATE HAVE_${side}_${filter})
  endforeach()
endforeach()
# MinGW's headers define _M_X64, so the match finders take the path written
# for MSVC and call _BitScanForward64: intrin.h declares it, inline, where it
# would otherwise be an undeclared call to kernel32's out-of-line copy.
set(memcmplen_users lz/lz_encoder.c lz/lz_encoder_mf.c lzma/lzma_encoder_optimum_fast.c
  lzma/lzma_encoder_optimum_normal.c)
list(TRANSFORM memcmplen_users PREPEND ${xz_src}/liblzma/)
set_source_files_properties(${memcmplen_users} PROPERTIES COMPILE_OPTIONS "-include;intrin.h")
# Static: no __declspec(dllimport) in the library or its users.
target_compile_definitions(zarvik_lzma PUBLIC LZMA_API_STATIC)
target_compile_options(zarvik_lzma PRIVATE -w)  # not our code to warn about
target_include_directories(zarvik_lzma PRIVATE ${xz_src}/common ${xz_src}/liblzma/common ${xz_src}/liblzma/check
  ${xz_src}/liblzma/delta ${xz_src}/liblzma/lz ${xz_src}/liblzma/lzma ${xz_src}/liblzma/rangecoder
  ${xz_src}/liblzma/simple)
target_include_directories(zarvik_lzma SYSTEM PUBLIC ${xz_src}/liblzma/api)
