# Home folders, the console user, the local root, the OS version and the bundle.
project_add_test(NAME platform_folders_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/UserFoldersTest.cpp ${CMAKE_CURRENT_LIST_DIR}/OperatingSystemVersionTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/BundleTest.cpp
  LIBS platform
  TIMEOUT 60)
