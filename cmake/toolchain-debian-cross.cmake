# Shared part of toolchain-mips.cmake and toolchain-mipsel.cmake: a cross build with Debian's
# ${MCU_CROSS_ARCH}-linux-gnu toolchain (package g++-<arch>-linux-gnu), whose target programs
# run on the build host under user-mode qemu (package qemu-user). -DMCU_CROSS_COMPILER=clang
# builds with clang instead of GCC.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MCU_CROSS_ARCH})

set(MCU_CROSS_TRIPLE ${MCU_CROSS_ARCH}-linux-gnu)

# The compiler: Debian's GCC cross compiler, or clang for the same triple, which takes the
# headers, libraries and binutils of that GCC installation (package clang as well).
set(MCU_CROSS_COMPILER gcc CACHE STRING "Cross compiler: gcc (${MCU_CROSS_TRIPLE}-g++) or clang")
set_property(CACHE MCU_CROSS_COMPILER PROPERTY STRINGS gcc clang)
# try_compile projects read this file again and must make the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MCU_CROSS_COMPILER)
if(MCU_CROSS_COMPILER STREQUAL "gcc")
    set(CMAKE_C_COMPILER ${MCU_CROSS_TRIPLE}-gcc)
    set(CMAKE_CXX_COMPILER ${MCU_CROSS_TRIPLE}-g++)
elseif(MCU_CROSS_COMPILER STREQUAL "clang")
    set(CMAKE_C_COMPILER clang)
    set(CMAKE_CXX_COMPILER clang++)
    set(CMAKE_C_COMPILER_TARGET ${MCU_CROSS_TRIPLE})
    set(CMAKE_CXX_COMPILER_TARGET ${MCU_CROSS_TRIPLE})
else()
    message(FATAL_ERROR "MCU_CROSS_COMPILER: '${MCU_CROSS_COMPILER}' is not gcc or clang")
endif()

# Libraries, headers and packages come from the target's root only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${MCU_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and gtest discovery) run target programs with the target's loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${MCU_CROSS_ARCH} -L /usr/${MCU_CROSS_TRIPLE})
