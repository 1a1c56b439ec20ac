# The board's big-endian MIPS32 (glibc) with Debian's mips-linux-gnu-g++; tests run under
# qemu-mips. Use: cmake --preset mips (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mips.cmake).
set(MCU_CROSS_ARCH mips)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
