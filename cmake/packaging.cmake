# Installation and packages.
#
# Linux: the program to bin/, its manual page (gzip -9n) to share/man/man1/,
# a README for users (docs/user-readme.md, not the developers' README), a
# machine-readable copyright file holding the license and the Debian
# changelog to share/doc/qvflash/, lintian's overrides; packed as a .deb (`cpack -G DEB`)
# that lintian accepts. Build it with the `package` preset (Release, stripped,
# hardened, no tests):  cmake --workflow --preset package
#
# Windows: qvflash.exe, a README.txt for Windows users, LICENSE.txt and an
# example setting.ini side by side, every text file with CRLF line ends (the
# Notepad of Windows 7 shows LF-only text as one line); packed as a .zip
# (`cpack -G ZIP`).

# Who answers for the packages (Maintainer of the .deb, its changelog and
# copyright file). A distribution or IT department sets its own.
set(QVFLASH_MAINTAINER "qvflash maintainers <qvflash-maintainers@example.org>"
    CACHE STRING "Maintainer of the packages, as \"Name <address>\"")
# The Debian revision of the package (the part after the upstream version).
set(QVFLASH_DEB_REVISION 1 CACHE STRING "Debian revision of the .deb")

set(qvflash_package_dir ${PROJECT_BINARY_DIR}/package)

if(WIN32)
  # A text file with every line end CRLF (none doubled when the source
  # already has some), @PROJECT_VERSION@ filled in.
  function(qvflash_crlf source destination)
    file(READ ${source} text)
    string(CONFIGURE "${text}" text @ONLY)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${destination} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  endfunction()
  qvflash_crlf(${PROJECT_SOURCE_DIR}/docs/README-windows.txt ${qvflash_package_dir}/README.txt)
  qvflash_crlf(${PROJECT_SOURCE_DIR}/LICENSE ${qvflash_package_dir}/LICENSE.txt)
  qvflash_crlf(${PROJECT_SOURCE_DIR}/examples/setting.ini ${qvflash_package_dir}/setting.ini)

  install(TARGETS qvflash RUNTIME DESTINATION .)
  install(FILES ${qvflash_package_dir}/README.txt ${qvflash_package_dir}/LICENSE.txt
                ${qvflash_package_dir}/setting.ini DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "qvflash-${PROJECT_VERSION}-win32")
else()
  set(qvflash_doc_dir ${CMAKE_INSTALL_DOCDIR})

  # The manual page, the changelog and the copyright file, made at
  # configure time; the first two compressed at build time without a name
  # or time stamp in the gzip header (reproducible).
  configure_file(docs/qvflash.1.in ${qvflash_package_dir}/qvflash.1 @ONLY)
  configure_file(docs/debian/changelog.in ${qvflash_package_dir}/changelog.Debian @ONLY)
  # The license text as a copyright file's License paragraph: every line
  # indented by one space, an empty line as " .".
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
  set(QVFLASH_LICENSE_TEXT "")
  foreach(line IN LISTS license_lines)
    if(line STREQUAL "")
      string(APPEND QVFLASH_LICENSE_TEXT " .\n")
    else()
      string(APPEND QVFLASH_LICENSE_TEXT " ${line}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "\n$" "" QVFLASH_LICENSE_TEXT "${QVFLASH_LICENSE_TEXT}")
  configure_file(docs/debian/copyright.in ${qvflash_package_dir}/copyright @ONLY)

  find_program(QVFLASH_GZIP gzip REQUIRED)
  set(qvflash_gzipped "")
  foreach(name qvflash.1 changelog.Debian)
    add_custom_command(
      OUTPUT ${qvflash_package_dir}/${name}.gz
      COMMAND ${QVFLASH_GZIP} -9nc ${name} > ${name}.gz
      DEPENDS ${qvflash_package_dir}/${name}
      WORKING_DIRECTORY ${qvflash_package_dir}
      VERBATIM)
    list(APPEND qvflash_gzipped ${qvflash_package_dir}/${name}.gz)
  endforeach()
  add_custom_target(qvflash_package_files ALL DEPENDS ${qvflash_gzipped})

  install(TARGETS qvflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${qvflash_package_dir}/qvflash.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES docs/user-readme.md DESTINATION ${qvflash_doc_dir} RENAME README.md)
  install(FILES ${qvflash_package_dir}/copyright ${qvflash_package_dir}/changelog.Debian.gz
          DESTINATION ${qvflash_doc_dir})
  # lintian's overrides for the tags that do not apply to this package.
  install(FILES docs/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME qvflash)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME qvflash)
set(CPACK_PACKAGE_VENDOR "the qvflash authors")
set(CPACK_PACKAGE_CONTACT "${QVFLASH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware updater for the USB camera 04F2:B5BD (UVC extension unit)")
# The extended description: lines under 80 characters (Debian's control
# file shows them as they are).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "qvflash rewrites the firmware in the SPI NOR flash of a USB video-class"
  "camera (vendor 0x04F2, product 0xB5BD) through the vendor extension unit"
  "of its UVC function, or saves the first 64 KB of that flash to a file."
  "It is a console tool for service technicians and scripts: every run ends"
  "with Pass or Fail, and the exit code says the same. It needs access to"
  "the camera's video device (the video group), not root.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/docs/user-readme.md)
set(CPACK_STRIP_FILES ON)
# The packages are made from the build folder; nothing of the test suite is
# installed.
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QVFLASH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QVFLASH_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The C and C++ runtime versions the binary needs, as dpkg-shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Owner root, and the modes lintian expects (0755 folders and programs,
# 0644 files), whatever the umask of the build.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
