# The Windows build's libraries come from Debian's source packages, of the
# release the native build links, so that both code alike and the Windows
# programs stay single files. Each is fetched once into the build folder:
# reconfiguring never fetches again.
include_guard(GLOBAL)

# fetch_debian_source(PACKAGE LIBRARY FOLDER): PACKAGE unpacked with Debian's
# patches in FOLDER/source (scripts/fetch-debian-source.sh), or a configure
# that fails naming LIBRARY.
function(fetch_debian_source package library folder)
  execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch-debian-source.sh ${package} ${folder}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "The Windows build needs ${library} from Debian's source package ${package}, "
                        "which could not be fetched or unpacked (see above)")
  endif()
endfunction()

# version_from_header(HEADER PREFIX OUT PART...): the release a header states
# in one #define PREFIX<PART> a number, joined with dots.
function(version_from_header header prefix out)
  set(numbers)
  foreach(part ${ARGN})
    file(STRINGS ${header} line REGEX "^#define ${prefix}${part} ")
    string(REGEX MATCH "[0-9]+$" number "${line}")
    list(APPEND numbers ${number})
  endforeach()
  list(JOIN numbers . version)
  set(${out} ${version} PARENT_SCOPE)
endfunction()

# require_pinned_release(PACKAGE LIBRARY FOUND PINNED FOLDER): fails where
# the source fetched into FOLDER is not the native build's release.
function(require_pinned_release package library found pinned folder)
  if(NOT found VERSION_EQUAL pinned)
    message(FATAL_ERROR "Debian's source package ${package} is ${library} ${found}, "
                        "not ${pinned} as the native build uses: delete ${folder} "
                        "and fetch again, or move both builds to the same release")
  endif()
  file(GLOB dsc ${folder}/${package}_*.dsc)
  message(STATUS "${library} ${found} from ${dsc}")
endfunction()
