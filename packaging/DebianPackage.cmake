# The Debian package of everything `cmake --install` installs: `cpack -G DEB` in the build
# folder. Its Depends line is computed by dpkg-shlibdeps from the programs' libraries (Debian's
# Qt 6 among them), never written by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavra)
set(CPACK_PACKAGE_VENDOR "Norvik as")
set(CPACK_PACKAGE_CONTACT "Norvik as")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tavra controller server (TavraLink) and firmware loader (TavraLoader)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The programs name their installed paths (the D-Bus activation file), so the package is built
# with the prefix it installs into, under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-dbus-session-bus | dbus-session-bus")
set(CPACK_PACKAGE_DESCRIPTION
    "A Tavra home-automation controller is wired to a PC by a serial line.
TavraLink (tavralink) owns the serial ports, runs the controller's link
protocol and lets several programs share one controller over the D-Bus
session bus. TavraLoader (tavraloader, and tavraloader-cli in a terminal)
shows, backs up and updates the controller's firmware through TavraLink.
tavractl is a status and test client; tavra-sim simulates a controller on a
pseudo-terminal.")

include(CPack)
