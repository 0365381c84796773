# Installation in the usual places, and a Debian package of it.
include(GNUInstallDirs)

# Data the programs read: found there by the installed programs (see app/desktop/DataFiles).
set(TINTABREL_DATA_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/tintabrel)
install(FILES ${CMAKE_SOURCE_DIR}/data/ColorList.dat ${CMAKE_SOURCE_DIR}/data/moto.bmp
        DESTINATION ${TINTABREL_DATA_INSTALL_DIR})

install(TARGETS tintabrel-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TINTABREL_GUI)
  install(TARGETS Tintabrel Swatchwright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/data/tintabrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/data/tintabrel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The manual page and the shell completions are printed by the tool from its option table, so
# they cannot drift from what it accepts.
set(TINTABREL_GENERATED ${CMAKE_BINARY_DIR}/share)
set(generated)
foreach(what man bash zsh fish)
  set(file_man tintabrel-cli.1)
  set(file_bash tintabrel-cli)
  set(file_zsh _tintabrel-cli)
  set(file_fish tintabrel-cli.fish)
  set(out ${TINTABREL_GENERATED}/${file_${what}})
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${TINTABREL_GENERATED}
                     COMMAND $<TARGET_FILE:tintabrel-cli> --generate ${what} > ${out}
                     DEPENDS tintabrel-cli
                     COMMENT "Generating ${file_${what}} from the option table")
  list(APPEND generated ${out})
endforeach()
add_custom_target(tintabrel_generated ALL DEPENDS ${generated})
# Manual pages and the changelog are installed compressed (gzip -n: no name or time inside, so
# the bytes depend on the text alone), as Debian keeps them.
find_program(GZIP gzip REQUIRED)
set(TINTABREL_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(manuals ${TINTABREL_GENERATED}/tintabrel-cli.1)
if(TINTABREL_GUI)
  foreach(program Tintabrel Swatchwright)
    configure_file(${TINTABREL_PACKAGING}/${program}.1 ${TINTABREL_GENERATED}/${program}.1 @ONLY)
    list(APPEND manuals ${TINTABREL_GENERATED}/${program}.1)
  endforeach()
endif()
configure_file(${TINTABREL_PACKAGING}/changelog ${TINTABREL_GENERATED}/changelog @ONLY)
set(compressed)
foreach(file ${manuals} ${TINTABREL_GENERATED}/changelog)
  add_custom_command(OUTPUT ${file}.gz
                     COMMAND ${GZIP} -9 -n -c ${file} > ${file}.gz
                     DEPENDS ${file}
                     COMMENT "Compressing ${file}")
  list(APPEND compressed ${file}.gz)
endforeach()
add_custom_target(tintabrel_compressed ALL DEPENDS ${compressed})
list(TRANSFORM manuals APPEND .gz)
install(FILES ${manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TINTABREL_GENERATED}/changelog.gz ${TINTABREL_PACKAGING}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tintabrel)
install(FILES ${TINTABREL_GENERATED}/tintabrel-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${TINTABREL_GENERATED}/_tintabrel-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${TINTABREL_GENERATED}/tintabrel-cli.fish DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tintabrel)
set(CPACK_PACKAGE_VENDOR "Tintabrel")
set(CPACK_PACKAGE_CONTACT "Tintabrel developers <dev@tintabrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Recolours the sprites, tiles and icons of 2-D games (BMP, PNG)")
# The extended description, below the summary (CPack puts the summary first).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tintabrel gives the pixels of a picture whose hue lies in a window a new hue,
keeping their saturation and value exactly, except the pixels whose colour is
on a protected list. The window Tintabrel shows the picture before and after,
with a mask of what would change and a live preview; Swatchwright edits the
protected list; tintabrel-cli runs the same recolouring over folders of files
for build scripts, with variants, recipes, JSON reports and the smallest PNG
files of the same pixels.")
# Programs without their symbols, as Debian ships them.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The libraries the programs link are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
