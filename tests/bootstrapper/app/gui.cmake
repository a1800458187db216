# Whole runs of the real bundle in its GTK window under Xvfb, driven through the window's trace.
# They need the GTK program; each case is one test with its own X server and servers.
if(TARGET bootstrapper AND TARGET bootstrapper_gtk AND TARGET send-close-request)
  foreach(gui_case two_runs quit_no_then_yes proxy_sheet sheet_twice_then_escape close_box_disabled
                   sigterm_with_sheet install_failure_link)
    add_test(NAME bootstrapper_gui_${gui_case}_test
      COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/gui_runs.py --case ${gui_case}
              --bundle ${PROJECT_BINARY_DIR}/MSPInstaller.app
              --server ${PROJECT_SOURCE_DIR}/tests/support/http_test_server.py
              --make-product ${PROJECT_SOURCE_DIR}/tools/make-sample-product
              --stringtable $<TARGET_FILE:stringtable>
              --close-request $<TARGET_FILE:send-close-request>)
    set_tests_properties(bootstrapper_gui_${gui_case}_test PROPERTIES
      SKIP_RETURN_CODE 77
      TIMEOUT 240
      ENVIRONMENT "PROJECT_SOURCE_DIR=${PROJECT_SOURCE_DIR};PROJECT_BINARY_DIR=${PROJECT_BINARY_DIR}")
    set_property(TEST bootstrapper_gui_${gui_case}_test APPEND PROPERTY ENVIRONMENT "${PROJECT_TOOLKIT_LSAN_OPTIONS}")
  endforeach()
endif()
