# libbz2 decodes .tar.bz2 (engine/framings/bzip2_framing.cc): Debian's
# libbz2-dev natively, dynamic except for programs that set
# ZARVIK_STATIC_LINK.
if(NOT MINGW)
  find_package(BZip2 REQUIRED)
  find_library(ZARVIK_BZ2_STATIC NAMES libbz2.a REQUIRED)
  add_library(zarvik_bz2 INTERFACE)
  target_include_directories(zarvik_bz2 INTERFACE ${BZIP2_INCLUDE_DIRS})
  target_link_libraries(zarvik_bz2 INTERFACE
    $<IF:$<BOOL:$<TARGET_PROPERTY:ZARVIK_STATIC_LINK>>,${ZARVIK_BZ2_STATIC},BZip2::BZip2>)
  return()
endif()
add_library(zarvik_bz2 INTERFACE)
