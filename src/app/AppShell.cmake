# The application itself: the shell library (tests link it), the `orvel` executable, what
# `cmake --install` puts where a Linux desktop looks for it, and the Debian package.
# Included from src/CMakeLists.txt, so relative paths start at src/.

add_library(orvel_shell STATIC
  app/AppDelegate.cpp app/AppDelegate.h
  app/SettingsWindow.cpp app/SettingsWindow.h
  app/CommandLine.cpp app/CommandLine.h
  app/SingleInstance.cpp app/SingleInstance.h
  app/RemoteSwitches.cpp app/RemoteSwitches.h
  app/SignalHandler.cpp app/SignalHandler.h
  app/RememberedBridge.cpp app/RememberedBridge.h
  app/DesktopNotifier.cpp app/DesktopNotifier.h
  app/TrayWatcher.cpp app/TrayWatcher.h
  app/TrayIcon.cpp app/TrayIcon.h
  app/BridgeWindow.cpp app/BridgeWindow.h
)
# The XEmbed tray is followed through X11 events.
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
target_link_libraries(orvel_shell PRIVATE PkgConfig::XCB)
target_include_directories(orvel_shell PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(orvel_shell PUBLIC orvel_ui orvel_controller orvel_appmodels orvel_log orvel_platform
  Qt6::Widgets Qt6::Network Qt6::DBus)

add_executable(orvel app/main.cpp)
target_link_libraries(orvel PRIVATE orvel_shell orvel_bridge orvel_midi)
# build/orvel, beside the build tree's other entry points.
set_target_properties(orvel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
install(TARGETS orvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
# orvel-bridge-sim and orvel-midi-send install themselves from their own directories, as the
# "tools" component: the orvel-tools package, so users' /usr/bin gets only the app.

set(ORVEL_RESOURCES ${PROJECT_SOURCE_DIR}/resources)
# The day the version in project() was released, for the AppStream release entry.
set(ORVEL_RELEASE_DATE "2026-12-06" CACHE STRING "Release date of this version (YYYY-MM-DD)")
configure_file(${ORVEL_RESOURCES}/orvel.desktop.in
  ${CMAKE_CURRENT_BINARY_DIR}/generated/${ORVEL_APP_ID}.desktop @ONLY)
configure_file(${ORVEL_RESOURCES}/orvel.metainfo.xml.in
  ${CMAKE_CURRENT_BINARY_DIR}/generated/${ORVEL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/${ORVEL_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/${ORVEL_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
# The PNG sizes are rendered from the SVG by scripts/render-icons.sh.
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${ORVEL_RESOURCES}/icons/hicolor/orvel-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ${ORVEL_APP_ID}.png
    COMPONENT app)
endforeach()
install(FILES ${ORVEL_RESOURCES}/icons/orvel.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${ORVEL_APP_ID}.svg COMPONENT app)
# The tray icon's normal state, by the name the program asks the icon theme for (themes may
# replace it); the program draws the same bulb where no theme has it.
foreach(size 16 22 24 32)
  install(FILES ${ORVEL_RESOURCES}/icons/hicolor/orvel-tray-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/status RENAME ${ORVEL_APP_ID}-tray.png
    COMPONENT app)
endforeach()
install(FILES ${ORVEL_RESOURCES}/icons/orvel-tray.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/status RENAME ${ORVEL_APP_ID}-tray.svg COMPONENT app)

# Debian packages: cpack -G DEB in the build directory (or `cmake --build build --target package`)
# makes orvel (the app) and orvel-tools (bridge simulator, MIDI sender and scripted DAW).
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app tools)
set(CPACK_DEBIAN_APP_PACKAGE_NAME "orvel")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME "orvel-tools")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION "devel")
# Long descriptions, one line of the control file each ("synopsis\nbody" for the tools).
set(CPACK_COMPONENT_APP_DESCRIPTION "Orvel sits in the system tray and offers a MIDI destination
named Orvel to music software. A fixed set of MIDI messages switches the
lights you chose into colours you set, and back to how they were. It finds
and pairs with a Hue bridge on the local network.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Tools for trying Orvel without a Hue bridge
orvel-bridge-sim simulates a Hue bridge on one address of this machine;
orvel-midi-send sends one MIDI message to Orvel; orvel-daw-peer plays a DAW
that drives Orvel as a Mackie Control surface over JACK.")
# Symbols stay in the build tree; the package gets stripped binaries.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME "orvel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Orvel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Switch Philips Hue lights from MIDI")
set(CPACK_PACKAGE_DESCRIPTION
  "Orvel sits in the system tray and offers a MIDI destination named Orvel to music software. \
A fixed set of MIDI messages switches the lights you chose into colours you set, and back to \
how they were. It finds and pairs with a Hue bridge on the local network.")
set(CPACK_PACKAGE_CONTACT "Orvel maintainers <maintainers@${ORVEL_SITE_HOST}>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${ORVEL_BUILD_NUMBER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${ORVEL_SITE_HOST}")
# The Qt platform plugins (xcb, wayland) are loaded at run time, so no library lookup finds them.
set(ORVEL_DEB_RUNTIME_DEPENDS "qt6-qpa-plugins")
# dpkg-shlibdeps (dpkg-dev) finds the libraries each package's binaries link.
find_program(ORVEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ORVEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "${ORVEL_DEB_RUNTIME_DEPENDS}")
else()
  set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS
    "libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6, libqt6dbus6, librtmidi6, ${ORVEL_DEB_RUNTIME_DEPENDS}")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libqt6core6, libqt6network6, libqt6httpserver6, librtmidi6, libjack-jackd2-0 | libjack0")
endif()
# MIDI runs through the ALSA sequencer, or JACK where a JACK server runs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2, alsa-utils")
# Without it a Wayland session with no Xwayland has no platform plugin for Orvel.
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "qt6-wayland")

# What Debian asks of every package: a machine-readable copyright file and a compressed changelog.
execute_process(COMMAND date -u -R -d "${ORVEL_RELEASE_DATE} 12:00:00"
  OUTPUT_VARIABLE ORVEL_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${ORVEL_RESOURCES}/debian/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/generated/copyright @ONLY)
configure_file(${ORVEL_RESOURCES}/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian
    > ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian VERBATIM)
add_custom_target(orvel_debian_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian.gz)
foreach(component app tools)
  set(package orvel)
  if(component STREQUAL "tools")
    set(package orvel-tools)
  endif()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/copyright
    ${CMAKE_CURRENT_BINARY_DIR}/generated/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
include(CPack)
