# What `cmake --install` puts where, and the packages CPack makes of it: a ZIP from the MinGW build
# for Windows, a Debian package and a tarball from the native build for Linux. Only the programs a
# user runs and their documents have install rules; unit tests, the soak harness and the Wine
# suites' drivers and stand-ins have none, so they never reach a package.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME kestrup)
set(CPACK_PACKAGE_VENDOR Kestrup)
set(CPACK_PACKAGE_CONTACT "Kestrup developers <kestrup@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Propeller boot loader: loads images into boards over serial ports")
set(CPACK_PACKAGE_DESCRIPTION "kestrupload loads a Propeller image into the RAM or EEPROM of one or more \
boards over their serial ports, speaking the chip's ROM boot-loader protocol. propsim simulates a \
board on a pseudo-terminal and propimage writes test images.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # One flat folder: the window program keeps Kestrup.ini and the IDE's compiled.binary beside itself.
  install(TARGETS kestrup kestrupload RUNTIME DESTINATION .)
  # Text files with CR LF, as every Windows editor shows them (@ONLY: the texts hold no variables).
  configure_file(README.md package/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(docs/FIRST-STEPS-WINDOWS.txt package/FIRST-STEPS-WINDOWS.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt ${CMAKE_CURRENT_BINARY_DIR}/package/FIRST-STEPS-WINDOWS.txt
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS kestrupload propsim propimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/kestrupload.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES cli/kestrupload.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME kestrupload)
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # The C and C++ runtime versions the programs were linked against (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
