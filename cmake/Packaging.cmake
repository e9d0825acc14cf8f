# What an install holds, and the Debian package CPack makes of it
# (scripts/package.sh): both programs and the test-signal tools, the loopback
# runtime in Kestrix's own library folder (where the loader looks from
# <prefix>/bin), the desktop entry and its icon, the systemd unit with its
# system user, and the documentation. The version is the project's.
install(TARGETS kestrix kestrix-server kestrix-testsrc kestrix-probe RUNTIME DESTINATION bin)
if(NOT UNIX OR APPLE)
  return()
endif()

install(TARGETS kestrix_ndi_loopback LIBRARY DESTINATION lib/kestrix)
install(FILES packaging/kestrix.desktop DESTINATION share/applications)
install(FILES resources/assets/iconkx.png DESTINATION share/icons/hicolor/256x256/apps RENAME kestrix.png)
install(FILES packaging/kestrix-server.service DESTINATION lib/systemd/system)

# Debian wants the changelog compressed without a name or a time in it.
string(TIMESTAMP KESTRIX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog COMMAND_ERROR_IS_FATAL ANY)
install(FILES packaging/debian/copyright README.md ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DESTINATION share/doc/kestrix)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VENDOR Morvane)
set(CPACK_PACKAGE_CONTACT "Morvane <kestrix@morvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "audio router for NDI networks")
set(CPACK_PACKAGE_DESCRIPTION
  "Kestrix discovers the NDI sources on the network, receives their audio and
copies any source channel to any channel of the NDI senders it publishes,
each sender with its own audio/video delay and optionally one source's
pictures. Routing is a copy, never a mix.
.
The package holds the desktop program (kestrix), the router without a window
(kestrix-server, with a systemd unit, its page for any browser, an HTTP API
and Prometheus metrics), the test-signal tools kestrix-testsrc and
kestrix-probe, and a loopback NDI runtime for machines without one.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries from the binaries (dpkg-shlibdeps); what the window loads by
# name at run time, and what makes the service's user, named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "adduser, qml6-module-qtquick, qml6-module-qtquick-window, qml6-module-qtqml-workerscript, qml6-module-qtwebengine, qml6-module-qtwebchannel")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
