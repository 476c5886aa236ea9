# p_add_gtest(NAME SOURCES ... LIBS ...): a GoogleTest executable, each TEST its own CTest entry.
function(p_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE p_common ${ARG_LIBS} GTest::gtest GTest::gtest_main)
    # TIMEOUT: seconds each test may take, where work that grows too fast would show as a test that never ends.
    set(timeout)
    if(ARG_TIMEOUT)
        set(timeout TIMEOUT ${ARG_TIMEOUT})
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8" ${timeout})
endfunction()

# p_add_qt_test(NAME SOURCES ... LIBS ...): a Qt Test executable on the offscreen platform.
function(p_add_qt_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENV" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE p_common ${ARG_LIBS} Qt6::Test)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;${ARG_ENV}")
endfunction()
