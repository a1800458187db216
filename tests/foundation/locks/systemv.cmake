# The shared System V semaphore-set helper.
project_add_test(NAME systemv_semaphore_set_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SystemVSemaphoreSetTest.cpp
  LIBS foundation_locks
  TIMEOUT 60)
