# 32-bit ARMv7 with hard float: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(DEBIAN_CROSS_TRIPLET arm-linux-gnueabihf)
set(DEBIAN_CROSS_QEMU qemu-arm-static)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes every call whose passing changed in GCC 7.1 on this processor:
# only code built by an older compiler could disagree, and the board's
# libraries we link are C.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
