# Settings of the capture board: an ARMv7-A core with VFPv3 and NEON, running
# the program as a dynamically linked binary against the board's glibc. Only the program
# is built for the board; tests, tools and the emulated device are host-only.
set(VOZIREV_TESTS OFF CACHE BOOL "" FORCE)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=neon -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=neon -mfloat-abi=hard")
