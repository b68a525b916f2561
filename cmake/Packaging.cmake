# What operators install: a Debian package on Linux, a zip and an NSIS installer on Windows.
# `cmake --build --preset release --target package` (or --preset win64) writes them into the
# build tree, named with the project's version.

set(CPACK_PACKAGE_NAME vandrelux)
set(CPACK_PACKAGE_VENDOR "the Vandrelux developers")
set(CPACK_PACKAGE_CONTACT "Vandrelux developers <developers@vandrelux.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)

  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Updates set-top boxes over a serial line")
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_PACKAGE_FILE_NAME "Vandrelux-${PROJECT_VERSION}-win64")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Vandrelux)
  # Our own installer script: per-machine or per-user installs, which CPack's own cannot do.
  set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/nsis)
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/data/vandrelux.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/data/vandrelux.ico)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/PerGenerator.cmake)
  # One package with everything: the window and the CLI share the program folder.
  set(CPACK_MONOLITHIC_INSTALL ON)
else()
  # Two packages, so that a station PC needs no Qt: vandrelux-cli with the headless programs (every
  # install rule without a component) and the station's service, and vandrelux with the window.
  set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
  install(FILES ${debian}/vandrelux-cli/README.Debian
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux-cli)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux-cli RENAME copyright)
  # lib/, not the multiarch LIBDIR: systemd looks for units and accounts only there.
  install(FILES ${debian}/vandrelux-cli/vandrelux-station.service
    DESTINATION lib/systemd/system)
  install(FILES ${debian}/vandrelux-cli/sysusers.conf
    DESTINATION lib/sysusers.d RENAME vandrelux-cli.conf)
  # Absolute: the package's prefix is /usr, its configuration lives in /etc.
  install(FILES ${debian}/vandrelux-cli/station.conf DESTINATION /etc/vandrelux)
  install(FILES ${debian}/vandrelux-cli/logrotate DESTINATION /etc/logrotate.d RENAME vandrelux-cli)
  set(CPACK_COMPONENTS_ALL cli)
  set(CPACK_DEBIAN_CLI_PACKAGE_NAME vandrelux-cli)
  set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    ${debian}/vandrelux-cli/conffiles ${debian}/vandrelux-cli/postinst
    ${debian}/vandrelux-cli/prerm ${debian}/vandrelux-cli/postrm)
  # The summary, then one line each; every package has its own.
  string(CONCAT CPACK_DEBIAN_CLI_DESCRIPTION
    "Sends update files to set-top boxes over serial lines, headless\n"
    "Sends update files (bootstrap, software, microcode, logo, TV programme list)\n"
    "to set-top boxes over serial lines, or reads a box's whole programme code\n"
    "back. vandrelux-cli updates many boxes at once on a production line, and as\n"
    "the service vandrelux-station box after box all day; vandrelux-boxsim\n"
    "simulates a box on a pseudo-terminal. Needs no window system.")

  # The line server's package: the program, its service and its account, and line.conf.
  if(TARGET vandrelux-line)
    install(FILES ${debian}/vandrelux-line/vandrelux-line.service
      DESTINATION lib/systemd/system COMPONENT line)
    install(FILES ${debian}/vandrelux-line/sysusers.conf
      DESTINATION lib/sysusers.d RENAME vandrelux-line.conf COMPONENT line)
    install(FILES ${debian}/vandrelux-line/line.conf DESTINATION /etc/vandrelux COMPONENT line)
    install(FILES ${debian}/vandrelux-line/README.Debian
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux-line COMPONENT line)
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux-line
      RENAME copyright COMPONENT line)
    install(FILES docs/vandrelux-line.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT line)
    list(APPEND CPACK_COMPONENTS_ALL line)
    set(CPACK_DEBIAN_LINE_PACKAGE_NAME vandrelux-line)
    set(CPACK_DEBIAN_LINE_PACKAGE_CONTROL_EXTRA
      ${debian}/vandrelux-line/conffiles ${debian}/vandrelux-line/postinst
      ${debian}/vandrelux-line/prerm ${debian}/vandrelux-line/postrm)
    # A database on this computer is the usual set-up, not the only one.
    set(CPACK_DEBIAN_LINE_PACKAGE_SUGGESTS postgresql)
    string(CONCAT CPACK_DEBIAN_LINE_DESCRIPTION
      "Gathers a production line's set-top box updates into PostgreSQL\n"
      "The line server: pulls the record of every unit (box, files, outcome) from\n"
      "the production stations of vandrelux-cli through their web API into a\n"
      "PostgreSQL database, each unit once, and serves the line's page, API and\n"
      "metrics: every station and slot live, yields, and a search by box or image.")
  endif()

  if(TARGET vandrelux)
    install(FILES data/vandrelux.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications
      COMPONENT window)
    install(FILES data/vandrelux.svg
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT window)
    install(FILES ${debian}/vandrelux/README.Debian
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux COMPONENT window)
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vandrelux RENAME copyright
      COMPONENT window)
    list(APPEND CPACK_COMPONENTS_ALL window)
    set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME vandrelux)
    # The window's package takes the CLI's of the very same version: "vandrelux-cli (= VERSION)".
    set(CPACK_COMPONENT_WINDOW_DEPENDS cli)
    set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
    # A message of the window has a full-width comma, which the usual Latin fonts lack;
    # dpkg-shlibdeps adds the libraries.
    set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS fonts-wqy-microhei)
    string(CONCAT CPACK_DEBIAN_WINDOW_DESCRIPTION
      "Sends update files to a set-top box over a serial line, in a window\n"
      "The operator's window: sends update files (bootstrap, software, microcode,\n"
      "logo, TV programme list) to a set-top box over a serial line, or reads the\n"
      "box's whole programme code back. The headless programs come with\n"
      "vandrelux-cli.")
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
