# Installation and packages. The native (Linux) build installs the program
# to bin/, its manual page to share/man/man1/ and the README and license to
# share/doc/qvflash/, and packs them as a .deb (`cpack -G DEB`). The Windows
# build puts qvflash.exe, the README, the license and an example
# setting.ini side by side (the tool reads setting.ini from its own folder)
# and packs them as a .zip (`cpack -G ZIP`).
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS qvflash RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES examples/setting.ini DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "qvflash-${PROJECT_VERSION}-win32")
else()
  configure_file(doc/qvflash.1.in ${PROJECT_BINARY_DIR}/doc/qvflash.1 @ONLY)
  install(TARGETS qvflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/doc/qvflash.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME qvflash)
set(CPACK_PACKAGE_VENDOR "the qvflash authors")
set(CPACK_PACKAGE_CONTACT "the qvflash authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware updater for the USB camera 04F2:B5BD (UVC extension unit)")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# The packages are made from the build folder; nothing of the test suite is
# installed.
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The C and C++ runtime versions the binary needs, as dpkg-shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
