# FileUtils, ProcessUtils, the util functions and the message routing of the ZEZUUtils classes.
project_add_test(NAME foundation_fileutils_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileUtilsTest.cpp ${CMAKE_CURRENT_LIST_DIR}/UtilFunctionsTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/TextEncodingTest.cpp
  LIBS foundation_utils
  TIMEOUT 60)

project_add_test(NAME foundation_processutils_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProcessUtilsTest.cpp
  LIBS foundation_utils
  LABELS threaded
  TIMEOUT 60)
add_dependencies(foundation_processutils_test platform_process_probe)
target_compile_definitions(foundation_processutils_test PRIVATE
  PROCESS_PROBE="$<TARGET_FILE:platform_process_probe>")
