# linux-install.cmake: the library installed as a Linux library, in three
# parts (install components), which are also the three Debian packages that
# `cpack -G DEB` makes in the build folder:
#   runtime      libnorvex3      LIBDIR/libnorvex.so.3.2.1 and its SONAME link libnorvex.so.3
#   development  libnorvex-dev   include/norvex.h, norvex_posix.h, norvex_records.h,
#                                LIBDIR/libnorvex.so, LIBDIR/pkgconfig/norvex.pc,
#                                LIBDIR/cmake/Norvex/ (find_package(Norvex) -> Norvex::norvex)
#   tools        norvex-tools    bin/norvexctl, bin/norvex-emu, their manual pages
#                                (compressed), norvexctl's bash completion
# and each part's share/doc/<package>/copyright and changelog.gz. LIBDIR is
# lib/<multiarch triplet> on a multiarch system (lib/x86_64-linux-gnu on
# Debian and Ubuntu for x86-64; see CMakeLists.txt), else lib.
# `cmake --install build --prefix P` puts them all under P;
# `cmake --install build --component runtime` one part. docs/packaging.md
# says how the packages are made and checked.
include(CMakePackageConfigHelpers)

set(NORVEX_DEB_RUNTIME libnorvex${PROJECT_VERSION_MAJOR})
set(NORVEX_DEB_DEVELOPMENT libnorvex-dev)
set(NORVEX_DEB_TOOLS norvex-tools)

install(TARGETS norvex EXPORT NorvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/norvex.h ${PROJECT_SOURCE_DIR}/include/norvex_posix.h
              ${PROJECT_SOURCE_DIR}/include/norvex_records.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# CMake package: relocatable, found through CMAKE_PREFIX_PATH.
set(NORVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Norvex)
install(EXPORT NorvexTargets NAMESPACE Norvex:: DESTINATION ${NORVEX_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/NorvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/NorvexConfig.cmake INSTALL_DESTINATION ${NORVEX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/NorvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/NorvexConfig.cmake ${PROJECT_BINARY_DIR}/NorvexConfigVersion.cmake
  DESTINATION ${NORVEX_CMAKE_DIR} COMPONENT development)

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
" COMPONENT development)

# The programs, their manual pages and norvexctl's bash completion. The
# manual pages carry the project's version and are compressed as Debian
# keeps them (gzip -9n: no name, no time stamp, the same bytes every time).
find_program(NORVEX_GZIP gzip)
if(NOT NORVEX_GZIP)
  message(FATAL_ERROR "Norvex: gzip is needed for the manual pages and changelog (Debian: gzip)")
endif()
set(NORVEX_MAN_PAGES "")
foreach(program norvexctl norvex-emu)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/docs/man/${program}.1 -DOUTPUT=${page}.gz
              -DVERSION=${PROJECT_VERSION} -DGZIP=${NORVEX_GZIP} -P ${PROJECT_SOURCE_DIR}/cmake/compress-doc.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${PROJECT_SOURCE_DIR}/cmake/compress-doc.cmake
      COMMENT "Manual page ${program}.1.gz")
    list(APPEND NORVEX_MAN_PAGES ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endforeach()
if(NORVEX_MAN_PAGES)
  add_custom_target(norvex_man_pages ALL DEPENDS ${NORVEX_MAN_PAGES})
endif()
if(TARGET norvexctl)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/norvexctl/norvexctl.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME norvexctl COMPONENT tools)
endif()

# Each package's copyright file and changelog (a native package's
# changelog.gz), also made at build time.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_BINARY_DIR}/debian/changelog -DOUTPUT=${PROJECT_BINARY_DIR}/debian/changelog.gz
          -DGZIP=${NORVEX_GZIP} -P ${PROJECT_SOURCE_DIR}/cmake/compress-doc.cmake
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog ${PROJECT_SOURCE_DIR}/cmake/compress-doc.cmake
  COMMENT "changelog.gz of the packages")
add_custom_target(norvex_package_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
set(NORVEX_INSTALL_COMPONENTS runtime development)
if(TARGET norvexctl OR TARGET norvex-emu)
  list(APPEND NORVEX_INSTALL_COMPONENTS tools)
endif()
foreach(component ${NORVEX_INSTALL_COMPONENTS})
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${NORVEX_DEB_${upper}} COMPONENT ${component})
endforeach()

# ---- The Debian packages ------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvex)
set(CPACK_PACKAGE_VENDOR Norvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Norvex developers <dev@norvex.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${NORVEX_INSTALL_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SOURCE norvex)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each package depends on what its files link (dpkg-shlibdeps), and on what
# they load or include besides.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${NORVEX_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "driver library of the Norvex USB platesetter
The host-side driver library of the Norvex computer-to-plate platesetter:
commands and state queries of the machine's main unit, laser head and HS
boards, print data streamed into its memory, parameter files and a daily
driver log, through the C interface of norvex.h. On Linux it reaches device
endpoints in a folder: Unix sockets served by the device emulator
(norvex-emu, in norvex-tools) or by any device that speaks the protocol.")
# The shlibs file: a program linked against this library needs this package
# at this version or any later one of the same major version (the SONAME's).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig runs through the trigger; no maintainer scripts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${NORVEX_DEB_DEVELOPMENT})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${NORVEX_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "driver library of the Norvex USB platesetter - development files
What a host application of the Norvex platesetter is built with: the C
interface (norvex.h, norvex_posix.h for the POSIX host's window stand-in and
texts in UTF-8, norvex_records.h with the units' state records), the link
libnorvex.so, norvex.pc for pkg-config and the CMake package
(find_package(Norvex) gives Norvex::norvex).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${NORVEX_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# norvexctl loads the library when a command needs it, rather than linking it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${NORVEX_DEB_RUNTIME} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "service tool and device emulator of the Norvex USB platesetter
norvexctl drives a Norvex platesetter through its driver library: device
list, state records, raw commands, parameter files, print jobs from TIFF,
PNG and PBM images with read-back, captures and the driver log. norvex-emu
serves a virtual platesetter as a device endpoint, for trials and tests
without a machine.")

# Multi-Arch: the library and its development files can be installed for
# several architectures at once, the programs serve any of them.
set(CPACK_NORVEX_MULTI_ARCH "${NORVEX_DEB_RUNTIME}=same;${NORVEX_DEB_DEVELOPMENT}=same;${NORVEX_DEB_TOOLS}=foreign")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian-finish.cmake)
include(CPack)
