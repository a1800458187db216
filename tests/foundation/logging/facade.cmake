# The process-wide log facade and its cross-process mutex.
project_add_test(NAME logging_facade_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LogFacadeTest.cpp
  LIBS foundation_logging
  TIMEOUT 120)
