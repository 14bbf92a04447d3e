# The Debian package: `bash scripts/package` installs what making it needs,
# builds in release mode and runs `cpack -G DEB`, which makes
# tarnwick_<version>_<arch>.deb with the window program, tarnwick-cli, the log
# listener, their manual pages, the sample data, the example script, the
# desktop entry and the icon, the copyright file and the changelog.
# dpkg-shlibdeps (package dpkg-dev) reads the shared libraries the programs link
# (Qt 6, the C++ run-time); what they load at run time is declared by hand.

set(TARNWICK_MAINTAINER "Tarnwick Maintainers <maintainers@tarnwick.org>" CACHE STRING
  "The package's maintainer: a name and a mail address")

set(CPACK_PACKAGE_NAME "tarnwick")
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "${TARNWICK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNWICK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packet-level test console for MQTT brokers")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarnwick tries out an MQTT broker (3.1 MQIsdp, 3.1.1 or 5.0, in clear or over\n"
  "TLS, over WebSocket, directly or through an HTTP CONNECT or SOCKS5 proxy) one\n"
  "control packet at a time: CONNECT, PINGREQ, SUBSCRIBE, UNSUBSCRIBE,\n"
  "PUBLISH of text or a file at QoS 0, 1 or 2, DISCONNECT, AUTH, with any 5.0\n"
  "property, DUP repeats and the receive queue decoded field by field.\n"
  "tarnwick-cli replays a session script without a window (for CI), and\n"
  "tarnwick-log-listener prints the diagnostic datagrams.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
# Folders as Debian has them, whatever the umask of whoever builds.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so invisible to dpkg-shlibdeps: the platform plugins
# beyond xcb and offscreen (Wayland, VNC, the input and theme plugins).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The window's labels are Japanese, and so should Qt's own dialogs be; a local
# broker to try the console on.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients")

# The changelog's newest entry must name the version being packaged.
file(STRINGS "${CMAKE_SOURCE_DIR}/packaging/changelog" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^tarnwick \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog does not begin with version ${PROJECT_VERSION}: add an entry for it")
endif()

# Manual pages and the changelog as Debian keeps them: gzip -9, without the
# time stamp (-n), so the same sources make the same package.
set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/tarnwick")
set(packaging_out "${CMAKE_BINARY_DIR}/packaging")
set(manual_pages tarnwick-cli tarnwick-log-listener)
if(TARGET tarnwick)
  list(APPEND manual_pages tarnwick)
endif()
set(compressed "")
foreach(page IN LISTS manual_pages)
  configure_file("${CMAKE_SOURCE_DIR}/docs/man/${page}.1" "${packaging_out}/${page}.1" @ONLY)
  list(APPEND compressed "${packaging_out}/${page}.1")
  install(FILES "${packaging_out}/${page}.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endforeach()
configure_file("${CMAKE_SOURCE_DIR}/packaging/changelog" "${packaging_out}/changelog" COPYONLY)
list(APPEND compressed "${packaging_out}/changelog")
set(compressed_outputs "")
foreach(file IN LISTS compressed)
  add_custom_command(OUTPUT "${file}.gz"
    COMMAND gzip -9 -n -k -f "${file}"
    DEPENDS "${file}" VERBATIM)
  list(APPEND compressed_outputs "${file}.gz")
endforeach()
add_custom_target(tarnwick_package_docs ALL DEPENDS ${compressed_outputs})

install(FILES "${packaging_out}/changelog.gz" "${CMAKE_SOURCE_DIR}/packaging/copyright" DESTINATION "${doc_dir}")
install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION "${doc_dir}")

include(CPack)
