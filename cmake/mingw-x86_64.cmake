# mingw-x86_64.cmake: the 64-bit Windows cross build (see mingw.cmake).
set(NORVEX_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
