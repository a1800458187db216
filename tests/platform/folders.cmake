# Home folders, the console user, the local root, the OS version and the bundle.
project_add_test(NAME platform_folders_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/UserFoldersTest.cpp ${CMAKE_CURRENT_LIST_DIR}/OperatingSystemVersionTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/BundleTest.cpp ${CMAKE_CURRENT_LIST_DIR}/MountTableTest.cpp
  LIBS platform
  TIMEOUT 60)

# The child program the launcher tests start.
add_executable(platform_process_probe ${CMAKE_CURRENT_LIST_DIR}/ProcessProbe.cpp)
target_link_libraries(platform_process_probe PRIVATE platform)

project_add_test(NAME platform_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProcessLauncherTest.cpp
  LIBS platform
  LABELS threaded
  TIMEOUT 60)
add_dependencies(platform_process_test platform_process_probe)
target_compile_definitions(platform_process_test PRIVATE
  PROCESS_PROBE="$<TARGET_FILE:platform_process_probe>")
