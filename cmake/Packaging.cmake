# What operators install: a Debian package on Linux, a zip and an NSIS installer on Windows.
# `cmake --build --preset release --target package` (or --preset win64) writes them into the
# build tree, named with the project's version.

set(CPACK_PACKAGE_NAME vandrelux)
set(CPACK_PACKAGE_VENDOR "the Vandrelux developers")
set(CPACK_PACKAGE_CONTACT "Vandrelux developers <developers@vandrelux.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Updates set-top boxes over a serial line")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)

  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_PACKAGE_FILE_NAME "Vandrelux-${PROJECT_VERSION}-win64")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Vandrelux)
  # Our own installer script: per-machine or per-user installs, which CPack's own cannot do.
  set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/nsis)
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/data/vandrelux.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/data/vandrelux.ico)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/PerGenerator.cmake)
else()
  install(FILES data/vandrelux.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES data/vandrelux.svg
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
  install(FILES packaging/debian/README.Debian DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux RENAME copyright)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(TARGET vandrelux)
    # A message of the window has a full-width comma, which the usual Latin fonts lack; dpkg-shlibdeps
    # adds the libraries to it.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-wqy-microhei)
  endif()
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Below the summary above, one line each.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Sends update files (bootstrap, software, microcode, logo, TV programme list)\n"
    "to a set-top box over a serial line, or reads the box's whole programme code\n"
    "back. vandrelux is the operator's window, vandrelux-cli updates many boxes at\n"
    "once on a production line, and vandrelux-boxsim simulates a box on a\n"
    "pseudo-terminal.")
endif()

include(CPack)
