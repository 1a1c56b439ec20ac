# Shared part of toolchain-mips.cmake and toolchain-mipsel.cmake: a cross build with Debian's
# ${MCU_CROSS_ARCH}-linux-gnu toolchain (package g++-<arch>-linux-gnu), whose target programs
# run on the build host under user-mode qemu (package qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MCU_CROSS_ARCH})

set(MCU_CROSS_TRIPLE ${MCU_CROSS_ARCH}-linux-gnu)
set(CMAKE_C_COMPILER ${MCU_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MCU_CROSS_TRIPLE}-g++)

# Libraries, headers and packages come from the target's root only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${MCU_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and gtest discovery) run target programs with the target's loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${MCU_CROSS_ARCH} -L /usr/${MCU_CROSS_TRIPLE})
