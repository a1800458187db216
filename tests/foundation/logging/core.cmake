# The zezu logging core: helpers, targets and dispatch, across threads and processes.
project_add_test(NAME logging_functions_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LogFunctionsTest.cpp
  LIBS foundation_logging
  TIMEOUT 60)
project_add_test(NAME logging_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LoggingCoreTest.cpp
  LIBS foundation_logging
  TIMEOUT 120)
project_add_test(NAME logging_processes_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LoggingProcessesTest.cpp
  LIBS foundation_logging
  TIMEOUT 180)
project_add_test(NAME logging_threads_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LoggingThreadsTest.cpp
  LIBS foundation_logging
  LABELS threaded
  TIMEOUT 180)
