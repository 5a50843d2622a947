# The Debian package, made by CPack (bash scripts/package.sh): the installed tree under /usr, the
# dependencies worked out by dpkg-shlibdeps from the programs' shared libraries, and the copyright
# and changelog files that every Debian package carries in its documentation folder.
option(BADGE_PACKAGE_DEB "Install the Debian copyright and changelog files (scripts/package.sh)" OFF)

set(CPACK_PACKAGE_NAME quenlarch-badge)
set(CPACK_PACKAGE_VENDOR "the Quenlarch badge service developers")
set(CPACK_PACKAGE_CONTACT "Quenlarch badge service developers <badge-service@quenlarch.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
# The units name the programs by the prefix they were configured for, so the package uses it too.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The synopsis, then the long description: CPack indents each line by one space and writes an
# empty line as " .", as Debian's control files want.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "home-screen badge counter for push notifications")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A notification service extension that counts new-message and missed-call
pushes in a keychain stand-in (an SQLite file) and stamps the count on the
notification as its badge, never failing visibly.

notification-host delivers push payloads through the extension, once per
push or as a socket-activated systemd user service, and can show them as
desktop notifications. As a service it can also be a push provider's
HTTP/2 endpoint, so that a server pushes to it as it would to a phone.
badge-app plays the containing app: it installs an app with its extension
and manages the counter.")

set(BADGE_DEBIAN_VERSION ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
if(BADGE_PACKAGE_DEB)
  # DEP-5 copyright: the licence text indented, its empty lines written as " .".
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
  set(BADGE_LICENSE_TEXT "")
  foreach(line IN LISTS license_lines)
    if(line STREQUAL "")
      set(line ".")
    endif()
    string(APPEND BADGE_LICENSE_TEXT " ${line}\n")
  endforeach()
  string(STRIP "${BADGE_LICENSE_TEXT}" BADGE_LICENSE_TEXT)
  set(BADGE_LICENSE_TEXT " ${BADGE_LICENSE_TEXT}")
  configure_file(packaging/copyright.in copyright @ONLY)
  configure_file(packaging/changelog.Debian.in changelog.Debian @ONLY)
  find_program(GZIP gzip REQUIRED)
  add_custom_command(OUTPUT changelog.Debian.gz
    COMMAND ${GZIP} -9nkf changelog.Debian
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
    VERBATIM)
  add_custom_target(debian-changelog ALL DEPENDS changelog.Debian.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
