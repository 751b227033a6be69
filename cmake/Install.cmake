# What `cmake --install` puts where (the GNU directories), the man pages, and
# the `programs` target that `make run` builds. Included after every
# subdirectory, so that targets that exist only on some machines (the window
# needs Qt 6) are known here; nothing of the tests or benchmarks is installed.

# The programs and the library, without tests or benchmarks.
set(kp28_programs Kp28FWUpdate kp28setup kp28sim kp28wrap)
if(TARGET KP28Plus_Remote_Setup_Tool)
  list(APPEND kp28_programs KP28Plus_Remote_Setup_Tool)
endif()

# Where the programs find libkp28wrap.so.1, the one rule for the build tree
# and every install tree: a run path relative to the program. In the build
# tree the library lies in lib/ beside bin/; in an install tree it lies where
# LIBDIR says, seen from BINDIR, so that a tree moved with
# `cmake --install --prefix` (or copied whole) still finds it. kp28setup and
# the window load it by name with dlopen, which reads the same run path; the
# setup tool's core tries the same two places itself for the loaders that
# sanitizers interpose. The Debian package puts the library in the loader's
# own search path and needs none (KP28_INSTALL_RPATH=OFF).
file(RELATIVE_PATH kp28_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
foreach(t Kp28FWUpdate kp28setup kp28sim KP28Plus_Remote_Setup_Tool)
  if(TARGET ${t})
    set_target_properties(${t} PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
    if(KP28_INSTALL_RPATH)
      set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN/${kp28_bin_to_lib}")
    endif()
  endif()
endforeach()
target_compile_definitions(kp28setup_core PRIVATE KP28_LIBDIR_FROM_BINDIR="${kp28_bin_to_lib}")

# Components, one a Debian package (cmake/Package.cmake): runtime (the
# library), dev (what a client builds with), tools (the console programs, the
# udev rules) and gui (the window).
install(TARGETS kp28wrap LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/kp28wrap/include/kp28wrap.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
get_target_property(KP28WRAP_VERSION kp28wrap VERSION)
# The paths in kp28wrap.pc are relative to its own place, so that the file is
# right wherever the tree is installed.
file(RELATIVE_PATH kp28_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" kp28_pc_to_prefix "${kp28_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kp28wrap.pc.in ${PROJECT_BINARY_DIR}/kp28wrap.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kp28wrap.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

install(TARGETS Kp28FWUpdate kp28setup kp28sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
# The lower-case spelling that the setup tool and scripts use: the link the
# build made beside the program, copied as a link.
install(FILES $<TARGET_FILE_DIR:Kp28FWUpdate>/kp28fwupdate DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)

# The Ansible module that drives kp28setup on managed PCs, where Ansible
# looks for modules without configuration (under the prefix /usr). Not
# executable: Ansible reads it and ships it to the managed host itself.
install(FILES ${PROJECT_SOURCE_DIR}/dist/ansible/kp28setup.py
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/plugins/modules COMPONENT tools)

# The udev rules. udev reads them from fixed places (/etc, /run,
# /usr/local/lib and /usr/lib or /lib); an install writes nothing outside its
# prefix unless told to: the prefix /usr (and the package) gets Debian 12's
# place for packaged rules, any other prefix its own lib/udev/rules.d, which
# udev reads for /usr/local and which is linked into /etc/udev/rules.d
# otherwise. Decided when installing, so that --prefix counts.
# A build tree configured before holds the old fixed default in its cache:
# that one is dropped, a value someone chose is kept.
if(DEFINED CACHE{KP28_UDEV_RULES_DIR})
  get_property(kp28_doc CACHE KP28_UDEV_RULES_DIR PROPERTY HELPSTRING)
  if(kp28_doc STREQUAL "Where the udev rules file is installed"
     AND KP28_UDEV_RULES_DIR MATCHES "^/(etc|lib)/udev/rules.d$")
    unset(KP28_UDEV_RULES_DIR CACHE)
  endif()
endif()
set(KP28_UDEV_RULES_DIR "" CACHE PATH
    "Where the udev rules file is installed (absolute, or relative to the prefix); empty: /lib/udev/rules.d for the prefix /usr, else lib/udev/rules.d under the prefix")
set(kp28_rules_file ${PROJECT_SOURCE_DIR}/dist/udev/70-kp28.rules)
string(CONFIGURE [[
set(kp28_rules_dir "@KP28_UDEV_RULES_DIR@")
if(kp28_rules_dir STREQUAL "")
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
    set(kp28_rules_dir /lib/udev/rules.d)
  else()
    set(kp28_rules_dir "${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d")
  endif()
elseif(NOT IS_ABSOLUTE "${kp28_rules_dir}")
  set(kp28_rules_dir "${CMAKE_INSTALL_PREFIX}/${kp28_rules_dir}")
endif()
file(INSTALL DESTINATION "${kp28_rules_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "@kp28_rules_file@")
]] kp28_udev_install @ONLY)
install(CODE "${kp28_udev_install}" COMPONENT tools)

# Man pages: the hand-written part of each with the program's --help in it.
set(kp28_man_dir ${PROJECT_BINARY_DIR}/man)
set(kp28_man_pages)
function(kp28_man_page target name help_flag commands)
  set(out ${kp28_man_dir}/${name}.1.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DNAME=${name}
            -DHELP_FLAG=${help_flag} -DCOMMANDS=${commands}
            -DTEMPLATE=${PROJECT_SOURCE_DIR}/man/${name}.1.in -DOUT=${out}
            -DVERSION=${PROJECT_VERSION} -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/man/${name}.1.in
            ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Man page ${name}(1)")
  set(kp28_man_pages ${kp28_man_pages} ${out} PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY ${kp28_man_dir})
kp28_man_page(kp28setup kp28setup --help ON)
kp28_man_page(Kp28FWUpdate Kp28FWUpdate -help OFF)
kp28_man_page(kp28sim kp28sim --help OFF)
file(CREATE_LINK Kp28FWUpdate.1.gz ${kp28_man_dir}/kp28fwupdate.1.gz SYMBOLIC)
set(kp28_man_installed ${kp28_man_pages})

# Files Debian wants in every package: the copyright and the changelog, in
# the package's own doc folder.
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/dist/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/dist/changelog)
set(kp28_packages runtime libkp28wrap1 dev libkp28wrap-dev tools kp28-tools gui kp28-setup-tool)
function(kp28_package_docs component)
  list(FIND kp28_packages ${component} at)
  math(EXPR at "${at} + 1")
  list(GET kp28_packages ${at} name)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component})
endfunction()
foreach(c runtime dev tools)
  kp28_package_docs(${c})
endforeach()

if(TARGET KP28Plus_Remote_Setup_Tool)
  install(TARGETS KP28Plus_Remote_Setup_Tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT gui)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/kp28plus-remote-setup-tool.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/kp28plus-remote-setup-tool.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)
  add_custom_command(
    OUTPUT ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/man/KP28Plus_Remote_Setup_Tool.1 >
            ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/KP28Plus_Remote_Setup_Tool.1)
  install(FILES ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
  list(APPEND kp28_man_installed ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz)
  kp28_package_docs(gui)
endif()
install(FILES ${kp28_man_pages} ${kp28_man_dir}/kp28fwupdate.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

add_custom_target(install_extras ALL DEPENDS ${kp28_man_installed} ${PROJECT_BINARY_DIR}/changelog.gz)
# What `make run` builds: the programs, nothing of the tests or benchmarks.
add_custom_target(programs DEPENDS ${kp28_programs} install_extras)
