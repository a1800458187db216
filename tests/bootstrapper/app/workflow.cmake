# The run: session record, user-action dispatch, progress values, seams, facade and program.
project_add_test(NAME bootstrapper_app_session_proxy_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SessionProxyTest.cpp
  LIBS bootstrapper_app LABELS threaded TIMEOUT 120)
project_add_test(NAME bootstrapper_app_workflow_dispatch_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WorkflowDispatchTest.cpp
  LIBS bootstrapper_app TIMEOUT 120)
project_add_test(NAME bootstrapper_app_workflow_progress_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WorkflowProgressTest.cpp
  LIBS bootstrapper_app TIMEOUT 120)
project_add_test(NAME bootstrapper_app_facade_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FacadeTest.cpp
  LIBS bootstrapper_app platform TIMEOUT 120)
add_dependencies(bootstrapper_app_facade_test bootstrapper_bundle)

# Whole runs: the harness, then the runs (long: each installs through a disk image; far
# slower under the thread sanitizer).
set(WHOLE_RUN_TIMEOUT 600)
if(PROJECT_SANITIZE MATCHES "thread")
  set(WHOLE_RUN_TIMEOUT 1800)
endif()
add_library(bootstrapper_whole_run STATIC ${CMAKE_CURRENT_LIST_DIR}/WholeRun.cpp)
target_link_libraries(bootstrapper_whole_run PUBLIC bootstrapper_app bootstrapper_headless_window
  download_test_server test_support test_user_space_mounts platform GTest::gtest)
# One program per group of whole runs; the killed run's group is forked, so it has no other
# test's thread running then.
set(whole_run_groups whole_run whole_run_failure whole_run_wait whole_run_leftover whole_run_killed whole_run_root)
set(whole_run_sources WholeRunTest WholeRunFailureTest WholeRunWaitTest WholeRunLeftoverTest WholeRunKilledTest
    WholeRunRootTest)
foreach(group source IN ZIP_LISTS whole_run_groups whole_run_sources)
  project_add_test(NAME bootstrapper_app_${group}_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${source}.cpp
    LIBS bootstrapper_whole_run LABELS threaded TIMEOUT ${WHOLE_RUN_TIMEOUT})
  add_dependencies(bootstrapper_app_${group}_test bootstrapper_bundle stringtable)
endforeach()
project_add_test(NAME bootstrapper_app_workflow_step_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WorkflowStepTest.cpp
  LIBS bootstrapper_app download_test_server LABELS threaded TIMEOUT 120)
