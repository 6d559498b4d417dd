# Installation layout and the Debian package.
set(SYSTEMD_UNIT_DIR lib/systemd/system CACHE PATH "Where the systemd unit goes, under the prefix")
configure_file(${PROJECT_SOURCE_DIR}/packaging/external-source-data-getter.service.in
               ${PROJECT_BINARY_DIR}/external-source-data-getter.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/external-source-data-getter.service DESTINATION ${SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(deb_arch armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(deb_arch amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^aarch64$")
  set(deb_arch arm64)
else()
  set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(PACKAGE_MAINTAINER "external-source-data-getter maintainers <maintainers@users.noreply.c-seed-07a89cbb.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian's documentation files: the changelog (compressed as policy asks) and
# the copyright file.
set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
add_custom_target(debian-changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(manual_gz ${PROJECT_BINARY_DIR}/external-source-data-getter.8.gz)
add_custom_command(OUTPUT ${manual_gz}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/external-source-data-getter.8 > ${manual_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/external-source-data-getter.8)
add_custom_target(manual-page ALL DEPENDS ${manual_gz})
install(FILES ${manual_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME external-source-data-getter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "readings of an outside data source into the controller's /devices tree")
# CPack puts the summary first and indents these lines; an empty line is a
# paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A small background service for the controller. It takes the readings that
an outside data source publishes as JSON over MQTT, announces the configured
remote devices in the controller's /devices/ topic tree on the same broker,
republishes each reading as retained control values, and marks the controls
whose readings are stale.

It speaks MQTT 3.1.1 over TCP, TLS or a Unix socket, logs to the journal
with priorities, and runs as a confined systemd service with a watchdog.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the ELF files, by dpkg-shlibdeps; the private library is the
# package's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src/mqtt-wrapper)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mosquitto")
# Maintainer scripts as dh_installsystemd writes them: enable and start on
# installation, restart on upgrade, stop on removal, forget on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# lintian reports neither errors nor warnings; scripts/check-package fails on
# either.
include(CPack)
