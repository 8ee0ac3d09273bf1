# The Debian package: `cpack -G DEB` in a build folder makes
# zoranth-host_<version>_amd64.deb from the install rules, with Depends found by
# dpkg-shlibdeps, the service's options as a conffile and the maintainer scripts that
# create the service's user.

set(ZORANTH_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)

install(FILES ${ZORANTH_PACKAGING}/systemd/user/zoranth-host.service DESTINATION lib/systemd/user)
install(FILES ${ZORANTH_PACKAGING}/systemd/system/zoranth-host.service
        DESTINATION lib/systemd/system)
install(FILES ${ZORANTH_PACKAGING}/systemd/zoranth-host.sysusers DESTINATION lib/sysusers.d
        RENAME zoranth-host.conf)
install(FILES ${ZORANTH_PACKAGING}/debian/copyright DESTINATION share/doc/zoranth-host)
install(FILES ${PROJECT_SOURCE_DIR}/web/vendor/opus-decoder/LICENSE
        DESTINATION share/doc/zoranth-host RENAME opus-decoder.LICENSE)
# /etc belongs to the package alone: an install into a prefix of one's own leaves it be.
install(FILES ${ZORANTH_PACKAGING}/zoranth-host.default DESTINATION /etc/default
        RENAME zoranth-host COMPONENT package EXCLUDE_FROM_ALL)
# Debian keeps manual pages and a native package's changelog compressed, with no time
# stamp inside.
set(zoranth_manual ${CMAKE_CURRENT_BINARY_DIR}/zoranth-host.1.gz)
set(zoranth_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${zoranth_manual}
  COMMAND gzip -9n -c ${ZORANTH_PACKAGING}/zoranth-host.1 > ${zoranth_manual}
  DEPENDS ${ZORANTH_PACKAGING}/zoranth-host.1 VERBATIM)
add_custom_command(OUTPUT ${zoranth_changelog}
  COMMAND gzip -9n -c ${ZORANTH_PACKAGING}/debian/changelog > ${zoranth_changelog}
  DEPENDS ${ZORANTH_PACKAGING}/debian/changelog VERBATIM)
add_custom_target(zoranth_packaging_docs ALL DEPENDS ${zoranth_manual} ${zoranth_changelog})
install(FILES ${zoranth_manual} DESTINATION share/man/man1)
install(FILES ${zoranth_changelog} DESTINATION share/doc/zoranth-host)

set(CPACK_GENERATOR DEB)
# One package of everything, the /etc file included.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/" "${CMAKE_BINARY_DIR};${PROJECT_NAME};package;/")
set(CPACK_PACKAGE_NAME zoranth-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "ZoranthHost developers <dev@zoranth.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rave host: play this computer's sound on every guest's phone")
# CPack indents each line; "." is an empty line in a Debian description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Zoranth Host turns a computer into the host of a listening party on the local
network. It captures everything the computer plays through PulseAudio or
PipeWire, encodes it with Opus at a quality chosen per guest and streams it
to the guests' phones, which play in step against the host's clock. Guests
find the rave through DNS-SD or open its page in any phone's browser by a QR
code.
.
It runs as a window, in the terminal, or as a systemd service on a computer
without a desktop.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zoranth.app")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The receiver and the beat helper are Python; the window's QML needs its modules at
# run time, which no library link names.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "python3, adduser, qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtqml-workerscript, qml6-module-qtquick-dialogs, qml6-module-qt-labs-platform")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, pulseaudio | pipewire-pulse, pkexec")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pavucontrol, ufw | firewalld")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${ZORANTH_PACKAGING}/debian/conffiles ${ZORANTH_PACKAGING}/debian/postinst
  ${ZORANTH_PACKAGING}/debian/prerm ${ZORANTH_PACKAGING}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
