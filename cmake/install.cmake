# Installing and packaging. On Linux `cmake --install` puts mailtally in
# bin/, its man page in share/man/man1/ and its licence, changelog, README
# and guides in share/doc/mailtally/, and cpack makes a Debian package; the
# Windows build installs mailtally.exe beside the README, the guides and the
# licences, and cpack makes a zip of them.
include(GNUInstallDirs)

set(MAILTALLY_CONTACT "MailTally developers <maintainers@mailtally.example>")

# The README links to the guides in doc/ by relative paths: every one of
# them travels beside it, in doc/, so its links hold in the installed copy
# too.
file(GLOB MAILTALLY_GUIDES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/doc/*.md)

if(WIN32)
  install(TARGETS mailtally RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES ${MAILTALLY_GUIDES} DESTINATION doc)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  # The exe holds the MinGW-w64 runtime (its C runtime and winpthreads),
  # linked in statically; their licences ask for their notices to travel
  # with it. Debian's copyright file of the runtime package lists them all.
  install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright
    DESTINATION . RENAME LICENSE-MinGW-w64.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/mailtally)
  # Debian's copyright file quotes the licence with every line indented by
  # one space and every empty line written as a lone dot.
  file(READ LICENSE licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" unused "${licence}")
  set(MAILTALLY_COPYRIGHT_HOLDER "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" licence "${licence}")
  string(STRIP "${licence}" licence)
  string(REPLACE "\n" "\n " licence " ${licence}")
  string(REPLACE "\n \n" "\n .\n" MAILTALLY_LICENSE_TEXT "${licence}")
  configure_file(cmake/debian/copyright.in debian/copyright @ONLY)
  configure_file(cmake/debian/changelog.in debian/changelog @ONLY)
  configure_file(doc/mailtally.1 man/mailtally.1 @ONLY)

  # Debian wants the man page and the changelog compressed at the highest
  # level, with no name or time stamp in the header, so the bytes depend on
  # the text alone.
  set(bin ${CMAKE_CURRENT_BINARY_DIR})
  add_custom_command(
    OUTPUT ${bin}/man/mailtally.1.gz ${bin}/debian/changelog.gz
    COMMAND gzip -9nkf ${bin}/man/mailtally.1 ${bin}/debian/changelog
    DEPENDS ${bin}/man/mailtally.1 ${bin}/debian/changelog
    VERBATIM)
  add_custom_target(compressed_docs ALL
    DEPENDS ${bin}/man/mailtally.1.gz ${bin}/debian/changelog.gz)

  install(TARGETS mailtally RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Stripped (by cpack, or cmake --install --strip), the binary also loses
  # the compilers' version notes, as Debian's own packages do.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/mailtally\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")
  install(FILES ${bin}/man/mailtally.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md ${bin}/debian/copyright ${bin}/debian/changelog.gz
    DESTINATION ${docdir})
  install(FILES ${MAILTALLY_GUIDES} DESTINATION ${docdir}/doc)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME mailtally)
set(CPACK_PACKAGE_VENDOR "MailTally")
set(CPACK_PACKAGE_CONTACT "${MAILTALLY_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION [[
MailTally checks the message store of a KORVA mail server. Within each
mailbox directory it finds the message files that share a UID and reports
every such group; it also checks that the store's global UID counter lies
above every UID in use.

In fix mode it gives every duplicate but the first a fresh UID, rewriting the
UID field inside the message file, and raises a counter that is too low.]])
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# The packages hold the binary without its debug information, whatever the
# build type.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
