# The disk-image tool, run as a child the way the bootstrapper runs it.
project_add_test(NAME tools_diskimage_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DiskImageToolTest.cpp
  LIBS foundation_utils platform test_user_space_mounts PkgConfig::PUGIXML
  TIMEOUT 120)
add_dependencies(tools_diskimage_test diskimage)
target_compile_definitions(tools_diskimage_test PRIVATE DISK_IMAGE_TOOL="$<TARGET_FILE:diskimage>")
