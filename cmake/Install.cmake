# What `cmake --install` puts where (the GNU directories), the man pages, and
# the `programs` target that `make run` builds. Included after every
# subdirectory, so that targets that exist only on some machines (the window
# needs Qt 6) are known here; nothing of the tests or benchmarks is installed.

# The programs and the library, without tests or benchmarks.
set(kp28_programs Kp28FWUpdate kp28setup kp28sim kp28wrap)
if(TARGET KP28Plus_Remote_Setup_Tool)
  list(APPEND kp28_programs KP28Plus_Remote_Setup_Tool)
endif()

# The setup tool loads libkp28wrap.so.1 by name: in the build tree its
# directory is on the run path of every program that does.
foreach(t kp28setup KP28Plus_Remote_Setup_Tool)
  if(TARGET ${t})
    set_property(TARGET ${t} APPEND PROPERTY BUILD_RPATH "$<TARGET_FILE_DIR:kp28wrap>")
  endif()
endforeach()

install(TARGETS kp28wrap LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/kp28wrap/include/kp28wrap.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
get_target_property(KP28WRAP_VERSION kp28wrap VERSION)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kp28wrap.pc.in ${PROJECT_BINARY_DIR}/kp28wrap.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kp28wrap.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS Kp28FWUpdate kp28setup kp28sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The lower-case spelling that the setup tool and scripts use: the link the
# build made beside the program, copied as a link.
install(FILES $<TARGET_FILE_DIR:Kp28FWUpdate>/kp28fwupdate DESTINATION ${CMAKE_INSTALL_BINDIR})

# udev reads its rules from fixed places whatever the prefix; Debian 12 keeps
# packaged rules in /lib/udev/rules.d, an administrator's own in /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(kp28_udev_default /lib/udev/rules.d)
else()
  set(kp28_udev_default /etc/udev/rules.d)
endif()
set(KP28_UDEV_RULES_DIR ${kp28_udev_default} CACHE PATH "Where the udev rules file is installed")
install(FILES ${PROJECT_SOURCE_DIR}/dist/udev/70-kp28.rules DESTINATION ${KP28_UDEV_RULES_DIR})

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

# Files Debian wants in every package: the copyright and the changelog.
set(kp28_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kp28-tools)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/dist/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/dist/changelog)
install(FILES ${PROJECT_SOURCE_DIR}/dist/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${kp28_doc_dir})

if(TARGET KP28Plus_Remote_Setup_Tool)
  install(TARGETS KP28Plus_Remote_Setup_Tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/dist/kp28plus-remote-setup-tool.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/kp28plus-remote-setup-tool.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  add_custom_command(
    OUTPUT ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/man/KP28Plus_Remote_Setup_Tool.1 >
            ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/KP28Plus_Remote_Setup_Tool.1)
  list(APPEND kp28_man_installed ${kp28_man_dir}/KP28Plus_Remote_Setup_Tool.1.gz)
endif()
install(FILES ${kp28_man_installed} ${kp28_man_dir}/kp28fwupdate.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

add_custom_target(install_extras ALL DEPENDS ${kp28_man_installed} ${PROJECT_BINARY_DIR}/changelog.gz)
# What `make run` builds: the programs, nothing of the tests or benchmarks.
add_custom_target(programs DEPENDS ${kp28_programs} install_extras)
