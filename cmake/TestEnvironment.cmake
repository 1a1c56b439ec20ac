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

# mcu_test_environment([DIRECTORY dir] [DISCOVERED list...]): gives the options to the tests that
# the directory (default: the calling one) has added so far, and to those that gtest_discover_tests
# names at test time in each variable `list` (its TEST_LIST, by default <target>_TESTS). It sets
# their ENVIRONMENT as a whole: tests with an environment of their own add MCU_TEST_ENVIRONMENT.
function(mcu_test_environment)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "DIRECTORY" "DISCOVERED")
    if(NOT arg_DIRECTORY)
        set(arg_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    if(NOT MCU_TEST_ENVIRONMENT)
        return()
    endif()
    get_property(tests DIRECTORY "${arg_DIRECTORY}" PROPERTY TESTS)
    get_property(binary_dir DIRECTORY "${arg_DIRECTORY}" PROPERTY BINARY_DIR)
    # Read by ctest after the directory's tests, and after the include files that
    # gtest_discover_tests registered before (they define the lists).
    set(names)
    foreach(test IN LISTS tests)
        string(APPEND names " [==[${test}]==]")
    endforeach()
    foreach(list IN LISTS arg_DISCOVERED)
        string(APPEND names " \${${list}}")
    endforeach()
    set(script "${binary_dir}/test_environment.cmake")
    file(WRITE "${script}" "set(tests${names})\nif(tests)\n  set_tests_properties(\${tests} "
                           "PROPERTIES ENVIRONMENT \"${MCU_TEST_ENVIRONMENT}\")\nendif()\n")
    set_property(DIRECTORY "${arg_DIRECTORY}" APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
