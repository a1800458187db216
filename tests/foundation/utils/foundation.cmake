# Events, critical sections, strings, XML and the command line.
project_add_test(NAME foundation_events_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EventUtilsTest.cpp
  LIBS foundation_utils LABELS threaded TIMEOUT 60)
