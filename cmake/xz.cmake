# liblzma decodes .tar.xz (engine/framings/xz_framing.cc): Debian's
# liblzma-dev natively, dynamic except for programs that set
# ZARVIK_STATIC_LINK.
if(NOT MINGW)
  find_package(LibLZMA REQUIRED)
  find_library(ZARVIK_LZMA_STATIC NAMES liblzma.a REQUIRED)
  add_library(zarvik_lzma INTERFACE)
  target_include_directories(zarvik_lzma INTERFACE ${LIBLZMA_INCLUDE_DIRS})
  target_link_libraries(zarvik_lzma INTERFACE
    $<IF:$<BOOL:$<TARGET_PROPERTY:ZARVIK_STATIC_LINK>>,${ZARVIK_LZMA_STATIC},LibLZMA::LibLZMA>)
  return()
endif()
add_library(zarvik_lzma INTERFACE)
