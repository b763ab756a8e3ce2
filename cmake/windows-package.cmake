# windows-package.cmake: the release package of the 32-bit Windows build,
# Norvex-<version>-win32.zip in the build folder, made by
#   cmake --build --preset windows-x86 --target package
# It holds, at its top level: Norvex.dll (without debug information),
# Norvex.lib (the import library as built, with the standard-call names),
# include/norvex.h and windows-host-guide.md. The version is the project's,
# which is also the version Norvex_GetVersion reports (tests/windows checks
# that the two agree).
install(TARGETS norvex RUNTIME DESTINATION . ARCHIVE DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/include/norvex.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows-host-guide.md DESTINATION .)
# norvex-emu.exe, made by the 64-bit build (windows-x64): a virtual platesetter to try a host with.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/build/windows-x64/tools/norvex-emu/norvex-emu.exe DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Norvex)
set(CPACK_PACKAGE_VENDOR Norvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Norvex-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
