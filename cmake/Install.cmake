# Installation and packaging, included at the end of the top CMakeLists.txt.
#
# `cmake --install build [--prefix P]` (make install PREFIX=... DESTDIR=...)
# puts under the prefix:
#   bin/afclink                         the helper (the only built target installed)
#   bin/afclink-fakedevice              a launcher for the emulated handheld
#   share/afclink/fakedevice/           the emulator's modules and fixtures/
#   share/man/man1/afclink.1.gz         the manual pages (docs/)
#   share/man/man1/afclink-fakedevice.1.gz
# CPack's DEB generator (make package) packs the same tree with prefix /usr
# into build/packages/afclink_VERSION-1_ARCH.deb; its dependencies are the
# runtime libraries afclink links (found by dpkg-shlibdeps) and python3.

include(GNUInstallDirs)

# Directories the install step makes are 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(AFCLINK_INSTALL_STAGING ${CMAKE_BINARY_DIR}/install-files)
set(AFCLINK_FAKEDEVICE_DIR ${CMAKE_INSTALL_DATADIR}/afclink/fakedevice)

install(TARGETS afclink RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- The emulator ----------------------------------------------------------
# Its modules find one another and their fixtures beside their own files; the
# launcher finds the modules by the path from bin/ to them, so the tree works
# wherever it is put (a DESTDIR staging folder included).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/fakedevice/
  DESTINATION ${AFCLINK_FAKEDEVICE_DIR}
  FILES_MATCHING PATTERN "*.py" PATTERN "*.pem"
  PATTERN "__pycache__" EXCLUDE)

file(RELATIVE_PATH AFCLINK_FAKEDEVICE_FROM_BIN
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/afclink/fakedevice)
configure_file(${PROJECT_SOURCE_DIR}/tools/fakedevice/afclink-fakedevice.in
  ${AFCLINK_INSTALL_STAGING}/afclink-fakedevice @ONLY)
install(PROGRAMS ${AFCLINK_INSTALL_STAGING}/afclink-fakedevice
  DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- Manual pages ----------------------------------------------------------
# The project's version goes into each page's footer; the pages are
# installed gzipped, as Debian's man pages are.
find_program(AFCLINK_GZIP gzip)
set(AFCLINK_MAN_PAGES afclink.1 afclink-fakedevice.1)
set(AFCLINK_MAN_FILES)
foreach(page ${AFCLINK_MAN_PAGES})
  configure_file(${PROJECT_SOURCE_DIR}/docs/${page} ${AFCLINK_INSTALL_STAGING}/${page} @ONLY)
  if(AFCLINK_GZIP)
    add_custom_command(OUTPUT ${AFCLINK_INSTALL_STAGING}/${page}.gz
      COMMAND ${AFCLINK_GZIP} -9 -n -f -k ${page}
      DEPENDS ${AFCLINK_INSTALL_STAGING}/${page}
      WORKING_DIRECTORY ${AFCLINK_INSTALL_STAGING}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
    list(APPEND AFCLINK_MAN_FILES ${AFCLINK_INSTALL_STAGING}/${page}.gz)
  else()
    list(APPEND AFCLINK_MAN_FILES ${AFCLINK_INSTALL_STAGING}/${page})
  endif()
endforeach()
add_custom_target(afclink_man_pages ALL DEPENDS ${AFCLINK_MAN_FILES})
install(FILES ${AFCLINK_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- The Debian package ----------------------------------------------------
set(AFCLINK_PACKAGE_MAINTAINER
  "afclink maintainers <maintainers@users.noreply.c-seed-73789de5.example>"
  CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME afclink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "afclink")
set(CPACK_PACKAGE_CONTACT ${AFCLINK_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "console helper that copies files from an Apple handheld for a music program")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${AFCLINK_PACKAGE_MAINTAINER})
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"afclink is started by a music application as a child process. It reads one
command per line on standard input and answers each with one line on
standard output: it attaches to an iPhone or iPod touch through usbmuxd and
the device's com.apple.afc file service, copies device files, fetches the
device's music database (inflating the compressed one), reports its
connection state and finds the local iTunes library XML file.

afclink-fakedevice, an emulated handheld speaking usbmuxd, lockdownd and AFC
with TLS, lets authors of parent applications test without a device.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries afclink links, as dpkg-shlibdeps (dpkg-dev) names their
# packages, and python3 for the emulator; usbmuxd only for a real phone.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usbmuxd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(AFCLINK_DPKG dpkg)
if(AFCLINK_DPKG)
  execute_process(COMMAND ${AFCLINK_DPKG} --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/" "__pycache__")

include(CPack)
