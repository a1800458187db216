# project_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT seconds])
# One executable a call, run by ctest as one test. The label "threaded" puts it in the
# ThreadSanitizer run. Every test gets a time-out so a hang fails instead of stalling CI.
enable_testing()

function(project_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  if(PROJECT_FUZZ)
    # The fuzz build makes only the libraries and the fuzzers unless a test is asked for by name.
    set_target_properties(${T_NAME} PROPERTIES EXCLUDE_FROM_ALL TRUE)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "PROJECT_SOURCE_DIR=${PROJECT_SOURCE_DIR};PROJECT_BINARY_DIR=${PROJECT_BINARY_DIR}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# For the tests that run the window toolkit (in-process or in the bundle they start): the
# toolkit libraries' own leaks are left alone (tests/support/lsan-toolkit.supp). A suppression
# matches any frame of a stack, and every main-loop callback has GLib beneath it, so allocation
# stacks stay two frames deep: a leak of the project's own code is still reported.
set(PROJECT_TOOLKIT_LSAN_OPTIONS
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan-toolkit.supp:malloc_context_size=2")
