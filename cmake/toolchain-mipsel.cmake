# The board's little-endian MIPS32 (glibc) with Debian's mipsel-linux-gnu-g++; tests run under
# qemu-mipsel. Use: cmake --preset mipsel (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake).
set(MCU_CROSS_ARCH mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
