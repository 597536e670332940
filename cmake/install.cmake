# The version, what `cmake --install` puts where, and the Debian package.
#
#   cmake --install <build> [--prefix P]   bin/keymend, share/man/man1/keymend.1,
#                                          share/man/ru/man1/keymend.1, share/doc/keymend/
#                                          (README.md, LICENSE)
#   -DKEYMEND_DEBIAN_PACKAGE=ON            the same in the layout of a Debian package (manual
#                                          pages gzipped, copyright and changelog.Debian.gz in
#                                          place of LICENSE) and `cpack -G DEB` set up; see
#                                          scripts/package.sh
include(GNUInstallDirs)

# The version comes from project() only; the one source that prints it receives it.
set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/cli/version.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS KEYMEND_VERSION="${PROJECT_VERSION}")

option(KEYMEND_DEBIAN_PACKAGE "Install in the layout of a Debian package and set up cpack -G DEB" OFF)

install(TARGETS keymend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  return()
endif()

if(NOT KEYMEND_DEBIAN_PACKAGE)
  install(FILES ${PROJECT_SOURCE_DIR}/man/keymend.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/man/ru/keymend.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/ru/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  return()
endif()

# --- Debian package -------------------------------------------------------------------------
# The project has no mail address of its own: the reserved .invalid domain says so (lintian
# refuses a host without a dot, such as localhost).
set(KEYMEND_DEB_MAINTAINER "keymend developers <keymend@keymend.invalid>")
set(KEYMEND_DEB_RELEASE 1)
set(KEYMEND_DEB_VERSION ${PROJECT_VERSION}-${KEYMEND_DEB_RELEASE})
# The changelog's date: SOURCE_DATE_EPOCH when set (scripts/package.sh sets it to the last
# commit's time), else now.
string(TIMESTAMP KEYMEND_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(KEYMEND_DEB_DIR ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${KEYMEND_DEB_DIR}/changelog.Debian
               @ONLY)

# Compressed as Debian wants: gzip -9 without name and time stamp, so the bytes are reproducible.
function(keymend_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${source} ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()
keymend_gzip(${PROJECT_SOURCE_DIR}/man/keymend.1 ${KEYMEND_DEB_DIR}/man1/keymend.1.gz)
keymend_gzip(${PROJECT_SOURCE_DIR}/man/ru/keymend.1 ${KEYMEND_DEB_DIR}/ru/man1/keymend.1.gz)
keymend_gzip(${KEYMEND_DEB_DIR}/changelog.Debian ${KEYMEND_DEB_DIR}/changelog.Debian.gz)
file(MAKE_DIRECTORY ${KEYMEND_DEB_DIR}/man1 ${KEYMEND_DEB_DIR}/ru/man1)
add_custom_target(keymend_debian_files ALL DEPENDS
                  ${KEYMEND_DEB_DIR}/man1/keymend.1.gz ${KEYMEND_DEB_DIR}/ru/man1/keymend.1.gz
                  ${KEYMEND_DEB_DIR}/changelog.Debian.gz)
install(FILES ${KEYMEND_DEB_DIR}/man1/keymend.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KEYMEND_DEB_DIR}/ru/man1/keymend.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/ru/man1)
install(FILES ${KEYMEND_DEB_DIR}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keymend)
set(CPACK_PACKAGE_VENDOR "the keymend developers")
set(CPACK_PACKAGE_CONTACT ${KEYMEND_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KEYMEND_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KEYMEND_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "repair and fill GOST key containers of the Kalvion CSP
keymend works on the key containers of the Kalvion CSP (folders of six DER
files holding up to two GOST R 34.10-2001 or GOST R 34.10-2012 private keys)
without the provider. It imports the private key of a PKCS#12 file into a new
or an existing container, rebuilds a damaged container from the certificates
of its keys, recovers the public keys of a container, exports its keys into
PKCS#12 files, and diagnoses a container without changing it. A command never
leaves a container half written, whatever stops it.")
include(CPack)
