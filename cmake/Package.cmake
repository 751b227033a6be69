# The Debian package, built by CPack from the install rules (make package).
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the library lands in the
# multiarch directory and the programs need no run path.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kp28-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KP28 service tools <kp28-tools@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tools for KP28 and KP28Plus passbook printers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The firmware updater Kp28FWUpdate, the setup tool kp28setup (with its\n\
window KP28Plus_Remote_Setup_Tool where built), the USB library\n\
libkp28wrap and the virtual printer kp28sim. A udev rule gives the\n\
logged-in user the printers' USB nodes and keeps ModemManager off their\n\
USB serial port; kp28setup doctor tells what keeps a port from working.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the programs link (Debian 12's names).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# The window's printer pictures and exit picture are SVG: Qt reads them
# through a plug-in that no program links, so dpkg-shlibdeps cannot see it.
if(TARGET KP28Plus_Remote_Setup_Tool)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The library is registered through the ldconfig trigger; the scripts only
# tell udev about the rules file.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/deb/postinst
    ${PROJECT_SOURCE_DIR}/dist/deb/postrm ${PROJECT_SOURCE_DIR}/dist/deb/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
