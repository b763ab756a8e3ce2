# The include folder that users of the device emulator get: it holds one
# entry, emu/, a link to the emulator's folder, so that "emu/emulator.h" is
# found and nothing else of the source tree is. The project's root would do
# for the emulator's headers too, but from there src/ is reachable, and the
# tools and the C-interface tests are to see only include/ and the emulator
# (tests/build/check_include_layers.py checks that they do).
set(NORVEX_EMULATOR_INCLUDE_DIR ${PROJECT_BINARY_DIR}/emulator-include)
if(NOT EXISTS ${NORVEX_EMULATOR_INCLUDE_DIR}/emu)
  file(MAKE_DIRECTORY ${NORVEX_EMULATOR_INCLUDE_DIR})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/emu ${NORVEX_EMULATOR_INCLUDE_DIR}/emu SYMBOLIC)
endif()
