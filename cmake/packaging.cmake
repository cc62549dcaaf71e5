# Installation layout and the Debian package (scripts/package): the program with its manual page,
# the simulators, a desktop entry with its icon, the README, the copyright file, a udev rules example
# and the example script with its data files. Library dependencies are computed by dpkg-shlibdeps
# from the installed programs. The target package_contents builds everything the install rules
# name, so a package is never made from a tree that lacks one of them.
include(GNUInstallDirs)

set(PACKAGE_PROGRAMS brimwell brimwell-unit-sim brimwell-board-sim)
set(PACKAGE_CONTENTS)
foreach(program ${PACKAGE_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND PACKAGE_CONTENTS ${program})
  endif()
endforeach()
if(TARGET brimwell_headless)
  install(TARGETS brimwell_headless RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/brimwell)
  list(APPEND PACKAGE_CONTENTS brimwell_headless)
endif()

# The manual page is made from the README, so the two cannot disagree.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(MAN_PAGE ${PROJECT_BINARY_DIR}/packaging/brimwell.1.gz)
add_custom_command(
  OUTPUT ${MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/packaging/man_page.py ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_VERSION} ${MAN_PAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man_page.py ${PROJECT_SOURCE_DIR}/README.md
  COMMENT "Making the manual page from the README")
add_custom_target(man_page DEPENDS ${MAN_PAGE})
list(APPEND PACKAGE_CONTENTS man_page)
install(FILES ${MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/brimwell.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
if(TARGET brimwell-splash-art)
  # Drawn with the splash pictures when the window is built.
  install(FILES ${PROJECT_BINARY_DIR}/app/splash-art/brimwell.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/unit-sim/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME unit-sim.md)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-brimwell-adapters.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
if(TARGET example_data)
  install(FILES ${PROJECT_BINARY_DIR}/examples/flash_unit.sld ${PROJECT_BINARY_DIR}/examples/LoaderDefault.ini
                ${PROJECT_BINARY_DIR}/examples/firmware.bin ${PROJECT_BINARY_DIR}/examples/config.bin
                ${PROJECT_SOURCE_DIR}/examples/README.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/brimwell/examples)
  list(APPEND PACKAGE_CONTENTS example_data)
endif()
add_custom_target(package_contents DEPENDS ${PACKAGE_CONTENTS})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brimwell)
set(CPACK_PACKAGE_VENDOR Brimwell)
set(CPACK_PACKAGE_CONTACT "Brimwell engineering <engineering@brimwell.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware loader for embedded units on a serial line")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window loads its platform plug-in at run time, which no linked library reveals.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
include(CPack)
