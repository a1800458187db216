# The instance lock, the in-use probe and the deployment locks.
project_add_test(NAME foundation_zrv_locks_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZRVLocksTest.cpp
  LIBS foundation_locks TIMEOUT 90)
