# The owning file descriptor.
project_add_test(NAME platform_file_descriptor_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileDescriptorTest.cpp
  LIBS platform
  TIMEOUT 60)
