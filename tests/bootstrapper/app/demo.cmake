# The README's main-job command against this build's bundle, under an X server of its own.
# It skips (77) only where this machine cannot attach disk images or start Xvfb; its work
# folder stays under the build tree for inspection, and it removes its semaphore sets itself.
set(demo_work ${CMAKE_CURRENT_BINARY_DIR}/demo-work)
add_test(NAME bootstrapper_demo_test
  COMMAND sh -c "rm -rf \"$1\" && exec env -u DISPLAY -u XAUTHORITY python3 \"$2\" --build \"$3\" --work \"$1\""
          demo ${demo_work} ${PROJECT_SOURCE_DIR}/tools/demo ${PROJECT_BINARY_DIR})
set_tests_properties(bootstrapper_demo_test PROPERTIES
  SKIP_RETURN_CODE 77
  TIMEOUT 600
  ENVIRONMENT "PROJECT_SOURCE_DIR=${PROJECT_SOURCE_DIR};PROJECT_BINARY_DIR=${PROJECT_BINARY_DIR}")
set_property(TEST bootstrapper_demo_test APPEND PROPERTY ENVIRONMENT "${PROJECT_TOOLKIT_LSAN_OPTIONS}")
