# 64-bit ARM: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(DEBIAN_CROSS_TRIPLET aarch64-linux-gnu)
set(DEBIAN_CROSS_QEMU qemu-aarch64-static)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
