# The bootstrapper's utilities: launching installers, the temporary folder, the OS version,
# ZORUtils (dictionary, texts, file names, URLs, disk images) and the error texts.
project_add_test(NAME bootstrapper_support_utilities_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZAMEEUtilitiesTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ZORUtilsTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ErrorMessagesTest.cpp
  LIBS bootstrapper_support stringtable_writer foundation_utils PkgConfig::PUGIXML
  TIMEOUT 120)
add_dependencies(bootstrapper_support_utilities_test platform_process_probe diskimage)
target_compile_definitions(bootstrapper_support_utilities_test PRIVATE
  PROCESS_PROBE="$<TARGET_FILE:platform_process_probe>"
  DISK_IMAGE_TOOL="$<TARGET_FILE:diskimage>")
