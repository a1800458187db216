# File-system services: quotas, reserved growth, the no-replace rename.
project_add_test(NAME platform_filesystem_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileSystemTest.cpp
  LIBS platform
  TIMEOUT 60)
