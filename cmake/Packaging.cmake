# The Debian package: from the build tree, `cpack -G DEB` makes
# tarnwick_<version>_<arch>.deb with the window program, tarnwick-cli, the log
# listener, the sample data, the example script, the desktop entry and the icon.
# dpkg-shlibdeps (package dpkg-dev) reads the shared libraries the programs link
# (Qt 6, the C++ run-time); what they load at run time is declared by hand.

set(CPACK_PACKAGE_NAME "tarnwick")
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick maintainers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packet-level test console for MQTT brokers")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarnwick tries out an MQTT broker (3.1 MQIsdp, 3.1.1 or 5.0, in clear or over\n"
  "TLS) one control packet at a time: CONNECT, PINGREQ, SUBSCRIBE, UNSUBSCRIBE,\n"
  "PUBLISH of text or a file at QoS 0, 1 or 2, DISCONNECT, AUTH, with any 5.0\n"
  "property, DUP repeats and the receive queue decoded field by field.\n"
  "tarnwick-cli replays a session script without a window (for CI), and\n"
  "tarnwick-log-listener prints the diagnostic datagrams.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so invisible to dpkg-shlibdeps: the platform plugins
# beyond xcb and offscreen (Wayland, VNC, the input and theme plugins).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The window's labels are Japanese; a local broker to try the console on.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients")

install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/tarnwick")

include(CPack)
