# What a Linux install adds to the tool and the Debian package made from it
# (cpack -G DEB in the build folder): the manual pages and changelog gzipped
# as Debian wants them, the copyright, the shells' completions, and the file
# managers' "Extract here" actions with the MIME type they open.
set(linux_dir ${CMAKE_SOURCE_DIR}/packaging/linux)

# gzip -n leaves out the name and time, so the same sources give the same bytes.
function(zarvik_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND sh -c "gzip -9n -c \"$0\" >\"$1\"" ${source} ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()
zarvik_gzip(${CMAKE_SOURCE_DIR}/docs/zarvik.1 ${CMAKE_BINARY_DIR}/zarvik.1.gz)
zarvik_gzip(${linux_dir}/zarvik-extract-here.1 ${CMAKE_BINARY_DIR}/zarvik-extract-here.1.gz)
zarvik_gzip(${linux_dir}/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_target(zarvik_gzipped ALL DEPENDS ${CMAKE_BINARY_DIR}/zarvik.1.gz ${CMAKE_BINARY_DIR}/zarvik-extract-here.1.gz
                                             ${CMAKE_BINARY_DIR}/changelog.gz)

install(FILES ${CMAKE_BINARY_DIR}/zarvik.1.gz ${CMAKE_BINARY_DIR}/zarvik-extract-here.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${linux_dir}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${linux_dir}/completions/zarvik.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME zarvik)
install(FILES ${linux_dir}/completions/_zarvik DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${linux_dir}/completions/zarvik.fish DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
install(PROGRAMS ${linux_dir}/zarvik-extract-here DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${linux_dir}/zarvik-extract-here.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${linux_dir}/zarvik.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES ${linux_dir}/zarvik-consume.nemo_action ${linux_dir}/zarvik-keep.nemo_action
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nemo/actions)
install(FILES ${linux_dir}/zarvik-servicemenu.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/kio/servicemenus
        RENAME zarvik-extract-here.desktop)
# Nautilus reads scripts per user only: these are linked from ~/.local/share/nautilus/scripts.
install(PROGRAMS "${linux_dir}/nautilus/Extract here, consuming the archive"
                 "${linux_dir}/nautilus/Extract here, keep the archive"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zarvik/nautilus-scripts)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarvik)
set(CPACK_PACKAGE_CONTACT "Zarvik developers <zarvik@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "archiver that extracts by consuming the archive")
set(CPACK_PACKAGE_DESCRIPTION "zarvik packs files into .zvka archives and extracts .zvka, zip and tar
archives (gzip, Zstandard, xz or bzip2 compressed, or split into volumes)
while giving the archive's space back as the files are written, so that an
extraction needs little more room than the extracted tree.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The actions show their result with either; without them they only log it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libnotify-bin | zenity")
include(CPack)
