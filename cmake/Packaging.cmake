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

# One source, packaged for each Debian release it is built on. Debian 12's
# package keeps the plain version; a later release's gets "+debNNu1", which
# sorts above it, so a release upgrade of the controller replaces the one
# package with the other.
set(DEBIAN_RELEASE "" CACHE STRING "Debian release the package is for (default: the build system's)")
if(NOT DEBIAN_RELEASE AND EXISTS /etc/os-release)
  file(STRINGS /etc/os-release os_id REGEX "^ID=")
  file(STRINGS /etc/os-release os_version REGEX "^VERSION_ID=")
  if(os_id STREQUAL "ID=debian" AND os_version MATCHES "^VERSION_ID=\"?([0-9]+)")
    set(DEBIAN_RELEASE ${CMAKE_MATCH_1})
  endif()
endif()
set(package_version ${PROJECT_VERSION})
set(source_changelog ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
set(changelog ${source_changelog})
if(DEBIAN_RELEASE GREATER 12)
  set(package_version ${PROJECT_VERSION}+deb${DEBIAN_RELEASE}u1)
  # The changelog gains the rebuild's entry, dated a minute after the
  # source's (a fixed date, so the package is reproducible).
  set(codenames 13 trixie 14 forky 15 duke)
  list(FIND codenames ${DEBIAN_RELEASE} at)
  if(at EQUAL -1)
    message(FATAL_ERROR "No code name known for Debian ${DEBIAN_RELEASE}")
  endif()
  math(EXPR at "${at} + 1")
  list(GET codenames ${at} codename)
  file(STRINGS ${source_changelog} trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^(.*>  ).*$" "\\1" signature "${trailer}")
  string(REGEX REPLACE "^.*>  " "" source_date "${trailer}")
  execute_process(COMMAND date -u -R -d "${source_date} + 1 minute" OUTPUT_VARIABLE rebuild_date
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(changelog ${PROJECT_BINARY_DIR}/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source_changelog})
  file(READ ${source_changelog} source_entries)
  file(WRITE ${changelog} "external-source-data-getter (${package_version}) ${codename}; urgency=medium\n\n"
             "  * Built for Debian ${DEBIAN_RELEASE}.\n\n${signature}${rebuild_date}\n\n${source_entries}")
endif()

# Debian's documentation files: the changelog (compressed as policy asks) and
# the copyright file.
set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9nc ${changelog} > ${changelog_gz}
  DEPENDS ${changelog})
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
set(CPACK_PACKAGE_VERSION ${package_version})
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
# lintian reports neither errors nor warnings; scripts/release/check-package.sh fails on
# either.
include(CPack)
