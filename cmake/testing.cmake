# GoogleTest from the distribution's sources, built with whichever toolchain this build uses, and
# bridge_add_test(), which makes one test program and registers it with CTest (under Wine when
# cross-compiling, through the emulator wrapper).
set(BRIDGE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${BRIDGE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Under ThreadSanitizer any report fails the test: the first one ends the program with exit code 66.
if(sanitize STREQUAL "thread")
    set(BRIDGE_TEST_ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1")
endif()

# bridge_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
function(bridge_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gtest_main)
    target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
    if(BRIDGE_TEST_ENVIRONMENT)
        set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${BRIDGE_TEST_ENVIRONMENT}")
    endif()
endfunction()
