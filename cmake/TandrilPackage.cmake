# A Debian package of what cmake/TandrilInstall.cmake installs: `scripts/package`, or
# `cpack` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr (the helper's unit names its
# path, which is fixed when the build is configured).
if(NOT TARGET Tandril)
  return()
endif()

# Files a Debian package must carry: the copyright and a compressed changelog.
set(deb_doc ${PROJECT_BINARY_DIR}/install-staging/doc)
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog ${deb_doc}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${deb_doc}/changelog)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright ${deb_doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tandril)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tandril)
set(CPACK_PACKAGE_VENDOR Varn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Varn <tandril@varn.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "iPhone notifications on the Linux desktop")
set(CPACK_PACKAGE_DESCRIPTION "Tandril mirrors the notifications of an iPhone near the computer as
desktop notifications, with each phone application's icon, over Bluetooth Low
Energy (the Apple Notification Center Service). A settings application starts
and stops the background agent and chooses which phone applications may notify.
A small privileged helper, started by systemd on demand, clears BlueZ's cached
Bluetooth services of the phone when they are stale.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tandril.varn.com/)
# Libraries the programs link come from dpkg-shlibdeps; these are needed at run time
# without being linked: BlueZ and the buses, polkit for the helper's consent, Qt's
# platform plugins (xcb, offscreen).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bluez, dbus, polkitd, qt6-qpa-plugins")
# pkexec: the agent installs the helper itself when its socket is missing (not with this
# package); SVG icons; Wayland sessions; xdg-open for release pages.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec, libqt6svg6, qt6-wayland, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/data/debian/postinst
    ${PROJECT_SOURCE_DIR}/data/debian/prerm
    ${PROJECT_SOURCE_DIR}/data/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
