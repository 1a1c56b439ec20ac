# The sanitizers' run-time options travel with the tests, so that `ctest --test-dir BUILD` runs
# them the same way as `ctest --preset NAME`. The build's own CMAKE_CXX_FLAGS tell which
# sanitizers the programs carry.
include_guard(GLOBAL)

set(MCU_TEST_ENVIRONMENT)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*address")
    list(APPEND MCU_TEST_ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1")
endif()
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*undefined")
    list(APPEND MCU_TEST_ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*thread")
    list(APPEND MCU_TEST_ENVIRONMENT
        "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
endif()

# mcu_test_environment([DIRECTORY dir DISCOVERED list...]): without arguments, adds the options
# to the environment of every test that the calling directory has added so far. With them, sets
# the environment of the tests that gtest_discover_tests names at test time in each variable
# `list` (its TEST_LIST, by default <target>_TESTS) in the directory `dir`.
function(mcu_test_environment)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "DIRECTORY" "DISCOVERED")
    if(NOT MCU_TEST_ENVIRONMENT)
        return()
    endif()
    if(NOT arg_DIRECTORY)
        get_property(tests DIRECTORY PROPERTY TESTS)
        if(tests)
            set_property(TEST ${tests} APPEND PROPERTY ENVIRONMENT ${MCU_TEST_ENVIRONMENT})
        endif()
        return()
    endif()
    # ctest reads this after the include files that gtest_discover_tests registered before.
    get_property(binary_dir DIRECTORY "${arg_DIRECTORY}" PROPERTY BINARY_DIR)
    set(script "${binary_dir}/test_environment.cmake")
    file(WRITE "${script}" "")
    foreach(list IN LISTS arg_DISCOVERED)
        file(APPEND "${script}" "if(${list})\n  set_tests_properties(\${${list}} PROPERTIES "
                                "ENVIRONMENT \"${MCU_TEST_ENVIRONMENT}\")\nendif()\n")
    endforeach()
    set_property(DIRECTORY "${arg_DIRECTORY}" APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
