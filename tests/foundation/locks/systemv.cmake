# The shared System V semaphore-set helper.
project_add_test(NAME systemv_semaphore_set_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SystemVSemaphoreSetTest.cpp
  LIBS foundation_locks
  TIMEOUT 60)

# The counted two-semaphore lock behind the log files' and the facade's locks.
project_add_test(NAME counted_semaphore_lock_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/CountedSemaphoreLockTest.cpp
  LIBS foundation_locks
  TIMEOUT 60)
