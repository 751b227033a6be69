# The Debian packages, built by CPack from the install components (make
# package), split as Debian splits a library and its programs:
#   libkp28wrap1     runtime  the shared library
#   libkp28wrap-dev  dev      header, the .so link, kp28wrap.pc
#   kp28-tools       tools    Kp28FWUpdate, kp28setup, kp28sim, udev rules, man pages
#   kp28-setup-tool  gui      the window (where Qt 6 was found)
# Configure with the package preset (prefix /usr, no run path): the library
# lands in the multiarch directory, where the loader finds it.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
if(TARGET KP28Plus_Remote_Setup_Tool)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
set(CPACK_PACKAGE_NAME kp28-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KP28 service tools <kp28-tools@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkp28wrap1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "USB transport library for KP28 and KP28Plus printers\n\
libkp28wrap lists the KP28 and KP28Plus printers on the USB bus, opens a\n\
connection to one, and writes, reads and controls it with time limits.\n\
Kp28FWUpdate and the KP28 setup tool reach their USB printers through it.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkp28wrap-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "USB transport library for KP28 printers - development files\n\
The header kp28wrap.h, the link libkp28wrap.so and the pkg-config file\n\
kp28wrap.pc for building programs that use libkp28wrap.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kp28-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "service tools for KP28 and KP28Plus passbook printers\n\
The firmware updater Kp28FWUpdate, the setup tool's command line kp28setup\n\
and the virtual printer kp28sim, without a window toolkit. A udev rule gives\n\
the logged-in user the printers' USB nodes and keeps ModemManager off their\n\
USB serial port; kp28setup doctor tells what keeps a port from working.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME kp28-setup-tool)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_GUI_DESCRIPTION "setup tool window for KP28 and KP28Plus passbook printers\n\
KP28Plus_Remote_Setup_Tool reads, edits, writes and sends a printer's setup\n\
memory, restores its defaults, and starts firmware loads, reboots and USB\n\
identifier records through Kp28FWUpdate.")

# Dependencies: the libraries each package's programs link, by
# dpkg-shlibdeps (Debian 12's names), and those it cannot see. kp28setup and
# the window load libkp28wrap.so.1 by name, and the window runs the updater;
# its printer pictures are SVG, read through a Qt plug-in that no program
# links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_GUI_DEPENDS runtime tools)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "libqt6svg6")
# A shlibs file for the library package (the others hold no library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

# The library is registered through the ldconfig trigger (its scripts only
# keep CPack from writing ones that call ldconfig); the command-line
# package's scripts tell udev about its rules file.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/deb/triggers
    ${PROJECT_SOURCE_DIR}/dist/deb/libkp28wrap1/postinst ${PROJECT_SOURCE_DIR}/dist/deb/libkp28wrap1/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/deb/postinst
    ${PROJECT_SOURCE_DIR}/dist/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
