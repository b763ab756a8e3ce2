# windows-package.cmake: the release package of a Windows build, made by
#   cmake --build --preset windows-x86 --target package   Norvex-<version>-win32.zip
#   cmake --build --preset windows-x64 --target package   Norvex-<version>-win64.zip
# in the build folder. It holds, at its top level, what the install rules
# below put there: Norvex.dll (without debug information), Norvex.lib (the
# import library in Microsoft's format), include/norvex.h and
# windows-host-guide.md. A file more is one install rule more, its target
# in NORVEX_PACKAGE_TARGETS (or add_dependencies(package ...)) when it is
# built, and its name in tests/windows/check_package.py. The version is the
# project's, which is also the version Norvex_GetVersion reports and the
# DLL's version resource gives.
#
# The package's bytes depend on the sources only: the DLL and the import
# library carry no time and no build path (src/CMakeLists.txt), and the zip
# is written by windows/make_package.py with its entries sorted, one fixed
# time (SOURCE_DATE_EPOCH, else 1980-01-01) and fixed permissions.
install(TARGETS norvex RUNTIME DESTINATION . ARCHIVE DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/include/norvex.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows-host-guide.md DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(NORVEX_PACKAGE_NAME Norvex-${PROJECT_VERSION}-win32)
else()
  set(NORVEX_PACKAGE_NAME Norvex-${PROJECT_VERSION}-win64)
endif()
set(NORVEX_PACKAGE_STAGING ${PROJECT_BINARY_DIR}/package-staging)
# The targets whose files the install rules take.
set(NORVEX_PACKAGE_TARGETS norvex)
# Each package also carries norvex-emu.exe of its build, a virtual platesetter
# to try a host with on a PC without the machine.
if(TARGET norvex-emu)
  install(TARGETS norvex-emu RUNTIME DESTINATION .)
  list(APPEND NORVEX_PACKAGE_TARGETS norvex-emu)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# A build folder that CPack made the package in before keeps CPack's
# configuration, for which CMake reserves the name of the target.
file(REMOVE ${PROJECT_BINARY_DIR}/CPackConfig.cmake ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(package
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/windows/make_package.py ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR}
          ${NORVEX_PACKAGE_STAGING} ${PROJECT_BINARY_DIR}/${NORVEX_PACKAGE_NAME}.zip
  DEPENDS ${NORVEX_PACKAGE_TARGETS}
  COMMENT "${NORVEX_PACKAGE_NAME}.zip"
  VERBATIM)
