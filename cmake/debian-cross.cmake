# Cross-compiling with Debian's cross compilers (crossbuild-essential-*) and
# the multiarch libraries of the target installed beside the machine's own
# (libavcodec-dev:armhf, ...). Included by toolchain-armhf.cmake and
# toolchain-arm64.cmake, which set DEBIAN_CROSS_TRIPLET, the processor and
# the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DEBIAN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DEBIAN_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${DEBIAN_CROSS_TRIPLET})

# Libraries, headers and CMake packages of the target only: its multiarch
# folders and the cross compiler's own; programs (pkg-config, the emulator)
# are the machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${DEBIAN_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${DEBIAN_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests and the programs they start run under qemu-user. The multiarch C
# library of the target (libc6:armhf, libc6:arm64) puts its loader where the
# programs look for it, so the emulator needs no -L: the cross compiler's
# copy of the C library beside the multiarch one crashes threads.
find_program(DEBIAN_CROSS_EMULATOR ${DEBIAN_CROSS_QEMU})
if(DEBIAN_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DEBIAN_CROSS_EMULATOR})
endif()
