# Installing and packaging. On Linux `cmake --install` puts mailtally in
# bin/ and its man page in share/man/man1/, and cpack makes a Debian package;
# the Windows build installs mailtally.exe beside the README, and cpack
# makes a zip of them.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS mailtally RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  install(TARGETS mailtally RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/mailtally.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/mailtally)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME mailtally)
set(CPACK_PACKAGE_VENDOR "MailTally")
set(CPACK_PACKAGE_CONTACT "MailTally maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "finds and repairs duplicate message UIDs in a KORVA mail store")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
