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

# The download stays in the build folder: reconfiguring never fetches again.
set(zstd_folder ${CMAKE_BINARY_DIR}/zstd-debian)
execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch-debian-source.sh libzstd ${zstd_folder}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The Windows build needs Zstandard from Debian's source package libzstd, "
                      "which could not be fetched or unpacked (see above)")
endif()
set(zstd_lib ${zstd_folder}/source/lib)
set(version_parts)
foreach(part MAJOR MINOR RELEASE)
  file(STRINGS ${zstd_lib}/zstd.h line REGEX "^#define ZSTD_VERSION_${part} ")
  string(REGEX MATCH "[0-9]+$" number "${line}")
  list(APPEND version_parts ${number})
endforeach()
list(JOIN version_parts . zstd_source_version)
if(NOT zstd_source_version VERSION_EQUAL ZARVIK_ZSTD_VERSION)
  message(FATAL_ERROR "Debian's source package libzstd is Zstandard ${zstd_source_version}, "
                      "not ${ZARVIK_ZSTD_VERSION} as the native build uses: delete ${zstd_folder} "
                      "and fetch again, or move both builds to the same release")
endif()
file(GLOB zstd_dsc ${zstd_folder}/libzstd_*.dsc)
message(STATUS "Zstandard ${zstd_source_version} from ${zstd_dsc}")

# The library alone: no dictionary builder, no legacy formats, no worker
# threads (ZSTD_MULTITHREAD stays undefined), and none of the x86-64
# assembly, which is written for ELF targets.
file(GLOB zstd_sources ${zstd_lib}/common/*.c ${zstd_lib}/compress/*.c ${zstd_lib}/decompress/*.c)
add_library(zarvik_zstd STATIC ${zstd_sources})
target_compile_definitions(zarvik_zstd PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0)
target_compile_options(zarvik_zstd PRIVATE -w)  # not our code to warn about
target_include_directories(zarvik_zstd SYSTEM PUBLIC ${zstd_lib})
