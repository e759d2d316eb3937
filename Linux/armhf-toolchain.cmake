# Cross build for the capture board: 32-bit ARM, hard-float ABI, with the
# toolchain of Debian's crossbuild-essential-armhf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(VOZIREV_TARGET_ROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${VOZIREV_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The tests run the board binaries on the build machine under qemu-user,
# started through binfmt_misc (tools/armhf-binfmt.sh registers it), so that
# scripts and the emulated device's launcher exec them unchanged. qemu finds
# the board's dynamic loader and libraries under this prefix.
set(VOZIREV_TARGET_TEST_ENV "QEMU_LD_PREFIX=${VOZIREV_TARGET_ROOT}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${VOZIREV_TARGET_TEST_ENV})

include(${CMAKE_CURRENT_LIST_DIR}/board.cmake)
