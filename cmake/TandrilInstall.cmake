# What `cmake --install` (and so the .deb) puts on a machine. Included from the top-level
# CMakeLists.txt after apps/, so that every program's target is known here.
#
#   <prefix>/lib/tandril/TandrilPane.prefPane/            the settings bundle, the agent inside:
#     Contents/Info.plist                                 com.Varn.TandrilPane
#     Contents/MacOS/TandrilPane                          the settings application (when built)
#     Contents/Resources/Tandril.app/Contents/Info.plist  com.Varn.Glimwick
#     Contents/Resources/Tandril.app/Contents/MacOS/Tandril   the agent
#   <prefix>/bin/Tandril, <prefix>/bin/TandrilPane        links into the bundle
#   <prefix>/libexec/tandril/tandril-cbcache-helper       the Bluetooth-cache helper (root, systemd)
#   <prefix>/share/applications/com.Varn.TandrilPane.desktop   the menu entry
#   <prefix>/share/applications/com.Varn.Glimwick.desktop      the agent's entry (NoDisplay)
#   <prefix>/share/icons/hicolor/{scalable,128x128}/apps/com.Varn.TandrilPane.{svg,png}
#   <prefix>/share/metainfo/com.varn.TandrilPane.metainfo.xml   (AppStream ids want a lowercase domain)
#   <systemd unit dir>/com.Varn.cbcache.{socket,service}
#   /usr/share/polkit-1/actions/com.Varn.cbcache.policy
#
# The programs find each other through the bundle (the agent's bundle path without its last
# three components is the settings bundle), so the bundle is installed whole and the links in
# bin/ resolve into it.
if(NOT TARGET Tandril)
  return()
endif()
include(GNUInstallDirs)

# lib/, not the multiarch library folder: the bundle holds programs, not libraries.
set(TANDRIL_BUNDLE_INSTALL_DIR lib/tandril)
set(TANDRIL_PANE_BUNDLE_INSTALL_PATH ${CMAKE_INSTALL_PREFIX}/${TANDRIL_BUNDLE_INSTALL_DIR}/TandrilPane.prefPane)
set(TANDRIL_AGENT_INSTALL_PATH ${TANDRIL_PANE_BUNDLE_INSTALL_PATH}/Contents/Resources/Tandril.app/Contents/MacOS/Tandril)
set(TANDRIL_PANE_INSTALL_PATH ${TANDRIL_PANE_BUNDLE_INSTALL_PATH}/Contents/MacOS/TandrilPane)

# systemd reads units from /lib/systemd/system (Debian's systemd.pc says where) and, for a
# local install, from /usr/local/lib/systemd/system; polkit reads actions from one folder only.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
endif()
if(NOT systemd_unit_dir)
  set(systemd_unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(TANDRIL_SYSTEMD_UNIT_DIR ${systemd_unit_dir} CACHE PATH "Folder for the Bluetooth-cache helper's systemd units")
set(TANDRIL_POLKIT_ACTIONS_DIR /usr/share/polkit-1/actions CACHE PATH "Folder for the polkit action")

set(TANDRIL_INSTALL_STAGING ${PROJECT_BINARY_DIR}/install-staging)

# The bundle's Info.plists and resources, without the desktop entries the build tree keeps
# in it for running from there (they name build-tree paths). The programs go in as targets,
# so that `cmake --install --strip` and the package strip them.
install(DIRECTORY ${PROJECT_BINARY_DIR}/apps/Tandril/TandrilPane.prefPane
        DESTINATION ${TANDRIL_BUNDLE_INSTALL_DIR} USE_SOURCE_PERMISSIONS
        PATTERN "*.desktop" EXCLUDE
        PATTERN "MacOS" EXCLUDE)
install(TARGETS Tandril RUNTIME
        DESTINATION ${TANDRIL_BUNDLE_INSTALL_DIR}/TandrilPane.prefPane/Contents/Resources/Tandril.app/Contents/MacOS)

# Relative links, so that a DESTDIR install or an unpacked package resolves inside its root.
function(tandril_install_link name target_in_libdir)
  install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
                file(CREATE_LINK \"../${TANDRIL_BUNDLE_INSTALL_DIR}/${target_in_libdir}\"
                     \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${name}\" SYMBOLIC)")
endfunction()
tandril_install_link(Tandril TandrilPane.prefPane/Contents/Resources/Tandril.app/Contents/MacOS/Tandril)
# Manual pages, compressed as Debian keeps them.
function(tandril_install_manual page)
  set(source ${PROJECT_SOURCE_DIR}/data/man/${page})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(MAKE_DIRECTORY ${TANDRIL_INSTALL_STAGING})
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${TANDRIL_INSTALL_STAGING}/${page}.gz)
  install(FILES ${TANDRIL_INSTALL_STAGING}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
tandril_install_manual(Tandril.1)

# The agent's desktop entry: not in menus; the workspace starts the agent by its identifier
# (com.Varn.Glimwick.desktop), and its notifications name it in their "desktop-entry" hint.
set(TANDRIL_AGENT_EXEC ${TANDRIL_AGENT_INSTALL_PATH})
configure_file(${PROJECT_SOURCE_DIR}/data/desktop/com.Varn.Glimwick.desktop.in
               ${TANDRIL_INSTALL_STAGING}/com.Varn.Glimwick.desktop @ONLY)
install(FILES ${TANDRIL_INSTALL_STAGING}/com.Varn.Glimwick.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

install(FILES ${PROJECT_SOURCE_DIR}/data/icons/com.Varn.TandrilPane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/128x128/com.Varn.TandrilPane.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)

# The settings application, when it is built: its program (built into the bundle's
# Contents/MacOS, its resources into Contents/Resources, both by apps/TandrilPane), its link,
# its menu entry and the software centre's description. Everything it installs is here;
# apps/TandrilPane itself installs nothing.
if(TARGET TandrilPane)
  install(TARGETS TandrilPane RUNTIME DESTINATION ${TANDRIL_BUNDLE_INSTALL_DIR}/TandrilPane.prefPane/Contents/MacOS)
  tandril_install_link(TandrilPane TandrilPane.prefPane/Contents/MacOS/TandrilPane)
  tandril_install_manual(TandrilPane.1)
  set(TANDRIL_PANE_EXEC ${TANDRIL_PANE_INSTALL_PATH})
  configure_file(${PROJECT_SOURCE_DIR}/data/desktop/com.Varn.TandrilPane.desktop.in
                 ${TANDRIL_INSTALL_STAGING}/com.Varn.TandrilPane.desktop @ONLY)
  install(FILES ${TANDRIL_INSTALL_STAGING}/com.Varn.TandrilPane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${PROJECT_SOURCE_DIR}/data/metainfo/com.varn.TandrilPane.metainfo.xml.in
                 ${TANDRIL_INSTALL_STAGING}/com.varn.TandrilPane.metainfo.xml @ONLY)
  install(FILES ${TANDRIL_INSTALL_STAGING}/com.varn.TandrilPane.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The Bluetooth-cache helper, its units (the service's ExecStart names the installed helper)
# and its polkit action.
if(TARGET tandril-cbcache-helper)
  # apps/tandril-cbcache-helper configures them there.
  set(TANDRIL_CBCACHE_BUILD_DATA_DIR ${PROJECT_BINARY_DIR}/data)
  install(TARGETS tandril-cbcache-helper RUNTIME DESTINATION ${TANDRIL_CBCACHE_HELPER_INSTALL_DIR})
  install(FILES ${TANDRIL_CBCACHE_BUILD_DATA_DIR}/systemd/com.Varn.cbcache.socket
                ${TANDRIL_CBCACHE_BUILD_DATA_DIR}/systemd/com.Varn.cbcache.service
          DESTINATION ${TANDRIL_SYSTEMD_UNIT_DIR})
  install(FILES ${TANDRIL_CBCACHE_BUILD_DATA_DIR}/polkit/com.Varn.cbcache.policy DESTINATION ${TANDRIL_POLKIT_ACTIONS_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tandril)
