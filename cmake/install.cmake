# Installing `jov` like any Linux tool, and packaging it for Debian:
#   cmake --install build --prefix /usr/local
#   (cd build && cpack -G DEB)      -> build/jov_VERSION_ARCH.deb
# Installs bin/jov, the man page share/man/man1/jov.1.gz and the bash
# completion share/bash-completion/completions/jov, README, LICENSE and the
# Debian copyright file in share/doc/jov. The stub is inside jov.

if(NOT TARGET jov)
  return()
endif()

include(GNUInstallDirs)

set(JOV_MAN_PAGE ${CMAKE_BINARY_DIR}/docs/jov.1)
set(JOV_VERSION ${PROJECT_VERSION})  # the page's footer
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
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The licence once more as a Debian copyright file (machine-readable format,
# the MIT text under its Debian name "Expat"), so that the package carries
# /usr/share/doc/jov/copyright.
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE licence_lines)
list(GET licence_lines 2 licence_holder)
string(REPLACE "Copyright (c) " "" licence_holder "${licence_holder}")
list(SUBLIST licence_lines 4 -1 licence_lines)
set(licence_text "")
foreach(line IN LISTS licence_lines)
  if(line STREQUAL "")
    string(APPEND licence_text " .\n")
  else()
    string(APPEND licence_text " ${line}\n")
  endif()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/docs/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: jov\n\n"
  "Files: *\nCopyright: ${licence_holder}\nLicense: Expat\n${licence_text}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
install(FILES ${CMAKE_BINARY_DIR}/docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME jov)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Who answers for the package: the Debian convention (DEBFULLNAME, DEBEMAIL)
# when set at configure time, else the project. A packager who ships it sets
# -DJOV_PACKAGE_MAINTAINER="Name <address>".
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(maintainer "JOV Setup developers <maintainers@jov-setup.invalid>")
endif()
set(JOV_PACKAGE_MAINTAINER "${maintainer}" CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${JOV_PACKAGE_MAINTAINER}")
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
