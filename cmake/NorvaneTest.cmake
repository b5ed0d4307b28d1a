# norvane_test(NAME name LABEL unit|integration|ui SOURCES ... LIBS ... [LOCKS res...] [TIMEOUT s])
# One GoogleTest binary per unit of behaviour, registered with ctest under its label.
# Tests that use the Samba domain controller take LOCKS samba so that ctest never runs
# two of them at once (it needs 127.0.0.1:389).
find_package(GTest REQUIRED)
function(norvane_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
  target_compile_definitions(${T_NAME} PRIVATE
    NORVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" NORVANE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")
  if(T_LOCKS)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()
