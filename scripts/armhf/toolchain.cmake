# Cross build for 32-bit ARM Linux, hard-float, with Debian's cross compiler. Libraries and
# headers come from Debian's multiarch armhf packages (/usr/lib/arm-linux-gnueabihf), so no
# sysroot is needed; programs that must run at configure time go through the emulator given as
# CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
