# Footprint of the tool (mcu_core, the device-path objects, mcu_test and mcu_test_sim): the
# board has little flash, so every build of the tool is compiled for size. Appended to
# MCU_TOOL_FLAGS; the linker already drops unused sections (--gc-sections in mcu_tool).
# What each flag saves on the stripped big-endian MIPS mcu_test is in docs/PERFORMANCE.md.

# Functions and data in sections of their own, so that --gc-sections can drop the unused ones
# (builders that no operation calls, for instance).
list(APPEND MCU_TOOL_FLAGS -ffunction-sections -fdata-sections)

# Nothing is exported from the executable: without this every global of the tool lands in the
# dynamic symbol table (and, on MIPS, in the global part of the GOT) of the position-independent
# executable.
list(APPEND MCU_TOOL_FLAGS -fvisibility=hidden -fvisibility-inlines-hidden)

# Optimised builds: optimise for size, and no unwind tables (there are no exceptions; with -g
# the debugger still gets .debug_frame). Debug and sanitizer builds keep their own settings.
set(MCU_TOOL_OPTIMISATION "-Os" CACHE STRING
    "Optimisation level of the tool in optimised builds (-Os; -O2 to compare speed and size)")
set(MCU_OPTIMISED_CONFIG "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
list(APPEND MCU_TOOL_FLAGS
    "$<${MCU_OPTIMISED_CONFIG}:${MCU_TOOL_OPTIMISATION}>"
    "$<${MCU_OPTIMISED_CONFIG}:-fno-asynchronous-unwind-tables>"
    "$<${MCU_OPTIMISED_CONFIG}:-fno-unwind-tables>")

# The frame assembler runs once for every byte that the MCU sends: -O2 there keeps it above
# 200 MB/s on one host core (at -Os it runs about 15 % slower) for a few hundred bytes of code.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/../receiver/msg_ring.cpp
    PROPERTIES COMPILE_OPTIONS "$<${MCU_OPTIMISED_CONFIG}:-O2>")
