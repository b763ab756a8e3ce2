# mingw-i686.cmake: the 32-bit Windows cross build (see mingw.cmake).
set(NORVEX_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
