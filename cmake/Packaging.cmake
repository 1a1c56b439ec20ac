# Install rules and packages.
#
#   component board: mcu_test (stripped) and its manual page, for the board's root file system
#   component host:  mcu_sim and its manual page, a tool for the build host (host builds only;
#                    the install rule of mcu_sim itself is in sim/CMakeLists.txt)
#
#   cmake --install build/mips --component board --prefix /usr   (DESTDIR=<rootfs> to stage)
#   cpack --config build/mips/CPackConfig.cmake                  -> .deb and .tar.gz of board
#
# The packages hold the board component only: mcu-test_<version>_<arch>.deb and
# mcu-test_<version>_<arch>.tar.gz (paths relative to /, to unpack into a root file system),
# with the Debian architecture set from the target of the build, never from the build host.

# Manual pages, gzip-compressed as Debian installs them.
find_program(MCU_GZIP gzip)
function(mcu_install_man page component)
    set(source ${PROJECT_SOURCE_DIR}/docs/${page})
    if(MCU_GZIP)
        set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
        add_custom_command(OUTPUT ${compressed}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            COMMAND ${MCU_GZIP} -9 -n -c ${source} > ${compressed}
            DEPENDS ${source}
            VERBATIM)
        add_custom_target(man_${page} ALL DEPENDS ${compressed})
        set(source ${compressed})
    endif()
    install(FILES ${source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# The board: the tool is always installed stripped (with or without --strip); board builds add
# mcu_test-static beside it.
set(MCU_BOARD_PROGRAMS mcu_test)
if(TARGET mcu_test-static)
    list(APPEND MCU_BOARD_PROGRAMS mcu_test-static)
endif()
install(TARGETS ${MCU_BOARD_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT board)
if(CMAKE_STRIP)
    foreach(program IN LISTS MCU_BOARD_PROGRAMS)
        install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\"
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
            COMMAND_ERROR_IS_FATAL ANY)" COMPONENT board)
    endforeach()
endif()
mcu_install_man(mcu_test.1 board)

if(TARGET mcu_sim)
    mcu_install_man(mcu_sim.1 host)
endif()

# Debian architecture of the target. Unknown targets get the tarball only.
set(MCU_DEB_ARCH "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    if(CMAKE_CXX_BYTE_ORDER STREQUAL "BIG_ENDIAN")
        set(MCU_DEB_ARCH mips)
    else()
        set(MCU_DEB_ARCH mipsel)
    endif()
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(MCU_DEB_ARCH amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(MCU_DEB_ARCH arm64)
endif()

set(CPACK_PACKAGE_NAME mcu-test)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "mcu_test developers")
set(CPACK_PACKAGE_CONTACT "mcu_test developers <mcu-test@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench and factory test of the board's MCU")
set(CPACK_PACKAGE_DESCRIPTION "mcu_test runs one numbered test operation against the \
microcontroller on the board's UART (${MCU_TEST_DEVICE}, 115200 8N1): it sends the operation's \
command frames, prints every reply while it waits the operation's fixed time, and exits 0.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)

# One package of the board component alone, for each generator.
set(CPACK_COMPONENTS_ALL board)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)

if(MCU_DEB_ARCH)
    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MCU_DEB_ARCH})
    set(MCU_PACKAGE_ARCH ${MCU_DEB_ARCH})
else()
    message(STATUS "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: tarball only")
    set(CPACK_GENERATOR TGZ)
    set(MCU_PACKAGE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${MCU_PACKAGE_ARCH})
set(CPACK_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Set by hand: dpkg-shlibdeps cannot look into a cross build. mcu_test needs libc.so.6 and
# libm.so.6 of glibc MCU_GLIBC_FLOOR or later (pthread_create@GLIBC_2.34, __libc_start_main@
# GLIBC_2.34; tests/abi checks it); mcu_test-static, in the board builds, needs no C library.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${MCU_GLIBC_FLOOR})")

include(CPack)
