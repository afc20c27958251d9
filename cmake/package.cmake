# Installing the host tools (`cmake --install`) and packaging them for Debian (`cpack -G DEB`,
# `make deb`): bootimg and bootmgr-sim with their man pages, made by help2man from their --help
# and --version. The boot manager itself is a program for the board and is not installed here.
include(GNUInstallDirs)
# `cmake --install` and cpack install what is built; they do not build every test first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
install(TARGETS bootimg bootmgr-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

find_program(BOOTMGR_HELP2MAN help2man)
if(BOOTMGR_HELP2MAN)
  foreach(tool bootimg bootmgr-sim)
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    if(tool STREQUAL "bootimg")
      set(what "build, sign, inspect, check and package boot manager images")
    else()
      set(what "run the boot manager on a simulated board")
    endif()
    set(include ${CMAKE_BINARY_DIR}/man/${tool}.h2m)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${tool}> -DOUT=${include}
              -P ${CMAKE_SOURCE_DIR}/cmake/man-include.cmake
      COMMAND ${BOOTMGR_HELP2MAN} --no-info --no-discard-stderr --section 1 --name ${what}
              --include ${include} --output ${page} $<TARGET_FILE:${tool}>
      DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/cmake/man-include.cmake VERBATIM)
    list(APPEND bootmgr_man_pages ${page})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${bootmgr_man_pages})
  install(FILES ${bootmgr_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: the host tools are installed without man pages")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bootmgr-host-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Boot manager team <firmware@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "host tools of the switch boot manager: bootimg and the simulated board bootmgr-sim")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The shared libraries the programs link are found by dpkg-shlibdeps; tar and gzip are run by the
# simulated board, the PKCS#11 engine is loaded by `bootimg sign` only for a token.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tar, gzip")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libengine-pkcs11-openssl, busybox, lrzsz")
include(CPack)
