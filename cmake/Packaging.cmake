# The Debian package (cpack -G DEB in the build folder): the library and its
# headers, the runtime, evtrace with its man pages, the CMake package and
# pkg-config file, the event databases, and the event engine's systemd unit,
# with maintainer scripts that set up its machine root under
# /var/lib/evtrace and follow dh_installsystemd's conventions (they work
# where systemd does not run).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME traceapi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TraceApi maintainers <traceapi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "event-trace library with its portable Win32 runtime, the evtrace tool and the event engine service")
set(CPACK_PACKAGE_DESCRIPTION
    "TraceApi carries the diagnostic and alert events of a wireless-network management suite through one \
real-time trace session. The package holds libTraceApi and libw32rt with their headers, CMake package and \
pkg-config file, the event databases, evtrace (session control, emitting, watching, logs, alerts, forwarding \
to a syslog collector) and the event engine as a systemd service on the machine root /var/lib/evtrace/machine.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies as dpkg-shlibdeps finds them; the helpers the
# maintainer scripts call.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
