# How ctest shares the machine's cores between tests: one mechanism for every test.
#
# Most tests wait on the tool's fixed times: the simulator must answer, and the tool read the
# answer, within those waits. Such a test must never run beside one that keeps the cores busy
# (a build, a database load, an emulated board booting): a simulator's answer late by the
# tool's wait reads as none. Every test has a kind, and a kind is a share of the machine, as
# ctest's resource groups (the presets give ctest cmake/resources.json: 4 slots of `cores`):
#
#   WAITS  1 slot   the default: waits on fixed times; up to four run at once
#   BOARD  2 slots  an emulated board: busy while it boots, then it waits; two boards at once,
#                   or a board and two waiting tests
#   BUSY   4 slots  keeps the cores busy: it runs alone
#
# Nothing else decides where a test runs: no priorities, no locks, no serial runs.
include_guard(GLOBAL)

# mcu_test_kind(BOARD|BUSY test...): the tests of another kind than WAITS.
function(mcu_test_kind kind)
    if(kind STREQUAL "BOARD")
        set(slots 2)
    elseif(kind STREQUAL "BUSY")
        set(slots 4)
    else()
        message(FATAL_ERROR "mcu_test_kind: BOARD or BUSY, not '${kind}'")
    endif()
    set_tests_properties(${ARGN} PROPERTIES RESOURCE_GROUPS "cores:${slots}")
endfunction()

# At the end of each directory's tests: those without a kind WAITS.
function(mcu_test_kind_default)
    get_property(tests DIRECTORY PROPERTY TESTS)
    foreach(test IN LISTS tests)
        get_test_property(${test} RESOURCE_GROUPS groups)
        if(NOT groups)
            set_tests_properties(${test} PROPERTIES RESOURCE_GROUPS "cores:1")
        endif()
    endforeach()
endfunction()
