# Cross build for 32-bit ARM routers (armhf: ARMv7, hard float) with Debian's cross compiler
# (package g++-arm-linux-gnueabihf):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
# With qemu-user installed, ctest runs the test binaries (and the tests the daemon) through
# qemu-arm with the target's C library from /usr/arm-linux-gnueabihf; binfmt_misc is not needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_STRIP arm-linux-gnueabihf-strip CACHE FILEPATH "")

# The cross compiler's own root, and the target's Debian multiarch libraries (e.g.
# libc-ares-dev:armhf) under /usr/lib/arm-linux-gnueabihf.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
# pkg-config (which CMake asks for OpenSSL) reads the target's .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ORVANED_QEMU qemu-arm)
if(ORVANED_QEMU)
  # The cross compiler's C library comes first: the multiarch packages bring a libc6 of the
  # target whose version differs from the cross one's loader, and the two mixed crash in fork.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVANED_QEMU} -L /usr/arm-linux-gnueabihf
      -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
endif()
