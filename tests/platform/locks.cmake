# The in-process mutexes, the condition variable and the thread checker.
project_add_test(NAME platform_locks_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LocksTest.cpp
  LIBS platform
  LABELS threaded
  TIMEOUT 60)
