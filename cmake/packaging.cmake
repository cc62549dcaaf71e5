# Installation layout and the Debian package (scripts/package): the program, the simulators, a
# desktop entry with its icon, the README and the example script with its data files. Library
# dependencies are computed by dpkg-shlibdeps from the installed programs.
include(GNUInstallDirs)

foreach(program brimwell brimwell-unit-sim brimwell-board-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/brimwell.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
if(TARGET brimwell-splash-art)
  install(FILES ${PROJECT_BINARY_DIR}/app/splash-art/brimwell.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/unit-sim/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME unit-sim.md)
if(TARGET example_data)
  install(FILES ${PROJECT_BINARY_DIR}/examples/flash_unit.sld ${PROJECT_BINARY_DIR}/examples/LoaderDefault.ini
                ${PROJECT_BINARY_DIR}/examples/firmware.bin ${PROJECT_BINARY_DIR}/examples/config.bin
                ${PROJECT_SOURCE_DIR}/examples/README.md
          DESTINATION ${CMAKE_INSTALL_DATADIR}/brimwell/examples)
endif()

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
