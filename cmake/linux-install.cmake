# linux-install.cmake: the library installed as a Linux library is:
#   lib/libnorvex.so.3.2.1 (SONAME libnorvex.so.3) and the link libnorvex.so
#   include/norvex.h, include/norvex_posix.h
#   lib/pkgconfig/norvex.pc                      pkg-config --cflags --libs norvex
#   lib/cmake/Norvex/NorvexConfig*.cmake         find_package(Norvex) -> Norvex::norvex
#   bin/norvexctl, bin/norvex-emu                (when built)
#   share/man/man1/norvexctl.1, norvex-emu.1
#   share/bash-completion/completions/norvexctl
# `cmake --install build --prefix P` puts them under P; `cpack -G DEB` in the
# build folder makes norvex_<version>_<arch>.deb of the same, for /usr.
include(CMakePackageConfigHelpers)

install(TARGETS norvex EXPORT NorvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/norvex.h ${PROJECT_SOURCE_DIR}/include/norvex_posix.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package: relocatable, found through CMAKE_PREFIX_PATH.
set(NORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Norvex)
install(EXPORT NorvexTargets NAMESPACE Norvex:: DESTINATION ${NORVEX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/NorvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/NorvexConfig.cmake INSTALL_DESTINATION ${NORVEX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/NorvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/NorvexConfig.cmake ${PROJECT_BINARY_DIR}/NorvexConfigVersion.cmake
  DESTINATION ${NORVEX_CMAKE_DIR})

# pkg-config: paths relative to ${prefix} where they lie under it, so that
# the file stays right under another --prefix at install time.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(NORVEX_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(NORVEX_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
# The prefix stays a placeholder until install time.
set(NORVEX_PC_PREFIX "@NORVEX_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/norvex.pc.in ${PROJECT_BINARY_DIR}/norvex.pc.in @ONLY)
# prefix= is the one taken at install time (cmake --install --prefix P, or
# /usr for the package), written straight into the installed file.
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/norvex.pc.in\" pc)
  string(REPLACE \"@NORVEX_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  set(pcFile \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/norvex.pc\")
  message(STATUS \"Installing: \${pcFile}\")
  file(WRITE \"\${pcFile}\" \"\${pc}\")
")

# The programs, their manual pages and norvexctl's bash completion.
foreach(program norvexctl norvex-emu)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
if(TARGET norvexctl)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/norvexctl/norvexctl.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME norvexctl)
endif()

# The Debian package of the same.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvex)
set(CPACK_PACKAGE_VENDOR Norvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host-side driver library of the Norvex USB platesetter, with norvexctl and norvex-emu")
set(CPACK_PACKAGE_CONTACT "Norvex developers <dev@norvex.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file and the ldconfig trigger of a package with a shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
