# The window side: screen model, window texts, view mediator, the no-window host, the headless window.

# The headless window, linked only by tests that drive the workflow without a toolkit.
add_library(bootstrapper_headless_window STATIC ${CMAKE_CURRENT_LIST_DIR}/HeadlessWindow.cpp)
target_link_libraries(bootstrapper_headless_window PUBLIC bootstrapper_ui GTest::gtest Threads::Threads)

project_add_test(NAME bootstrapper_ui_screen_model_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ScreenModelTest.cpp
  LIBS bootstrapper_ui TIMEOUT 60)
project_add_test(NAME bootstrapper_ui_window_texts_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/WindowTextsTest.cpp
  LIBS bootstrapper_ui stringtable_writer TIMEOUT 60)
project_add_test(NAME bootstrapper_ui_view_mediator_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ViewMediatorTest.cpp
  LIBS bootstrapper_headless_window stringtable_writer TIMEOUT 60)
project_add_test(NAME bootstrapper_ui_no_window_host_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/NoWindowHostTest.cpp
  LIBS bootstrapper_ui TIMEOUT 60)
project_add_test(NAME bootstrapper_ui_headless_window_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/HeadlessWindowTest.cpp
  LIBS bootstrapper_headless_window LABELS threaded TIMEOUT 120)
