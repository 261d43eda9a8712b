# Cross build for 64-bit ARM routers (arm64) with Debian's cross compiler
# (package g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# With qemu-user installed, ctest runs the test binaries (and the tests the daemon) through
# qemu-aarch64 with the target's C library from /usr/aarch64-linux-gnu; binfmt_misc is not needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "")

# The cross compiler's own root, and the target's Debian multiarch libraries (e.g.
# libc-ares-dev:arm64) under /usr/lib/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
# pkg-config (which CMake asks for OpenSSL) reads the target's .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ORVANED_QEMU qemu-aarch64)
if(ORVANED_QEMU)
  # The cross compiler's C library comes first: the multiarch packages bring a libc6 of the
  # target whose version differs from the cross one's loader, and the two mixed crash in fork.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVANED_QEMU} -L /usr/aarch64-linux-gnu
      -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
endif()
