# Settings of the capture board: an ARMv7-A core with VFPv3 and NEON, running
# the program as a dynamically linked binary against the board's glibc.
# By default only the program is built for the board; -DVOZIREV_TESTS=ON
# (make test-armhf) also builds the tests, the tools and the emulated device
# for it, to run them under qemu-user on the build machine.
set(VOZIREV_TESTS OFF CACHE BOOL "Build the tests, the emulated device and the tools")
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=neon -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=neon -mfloat-abi=hard")
