# Installing `jov` like any Linux tool, and packaging it for Debian:
#   cmake --install build --prefix /usr/local
#   (cd build && cpack -G DEB)      -> build/jov_VERSION_ARCH.deb
# Installs bin/jov, the man page share/man/man1/jov.1.gz and the bash
# completion share/bash-completion/completions/jov. The stub is inside jov.

if(NOT TARGET jov)
  return()
endif()

include(GNUInstallDirs)

set(JOV_MAN_PAGE ${CMAKE_BINARY_DIR}/docs/jov.1)
configure_file(${CMAKE_SOURCE_DIR}/docs/jov.1 ${JOV_MAN_PAGE} @ONLY)
# -n: no name or time in the gzip header, so the page is reproducible.
add_custom_command(OUTPUT ${JOV_MAN_PAGE}.gz
  COMMAND gzip -9nc ${JOV_MAN_PAGE} > ${JOV_MAN_PAGE}.gz
  DEPENDS ${JOV_MAN_PAGE}
  VERBATIM)
add_custom_target(jov_man_page ALL DEPENDS ${JOV_MAN_PAGE}.gz)

install(TARGETS jov RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${JOV_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/docs/jov.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME jov)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME jov)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "JOV Setup developers <jov@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build self-extracting Windows installers and read their archives")
set(CPACK_PACKAGE_DESCRIPTION
    "jov pack turns a folder into a small self-extracting installer for 32-bit Windows; jov list, test and extract read its archive with the installer's own decoder.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libc6, libstdc++6 and libgcc-s1 at the versions linked
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "osslsigncode")
set(CPACK_GENERATOR DEB)
include(CPack)
