# The toolkit-free main-thread queue of the window; threaded, so it joins the ThreadSanitizer run.
project_add_test(NAME bootstrapper_ui_dispatcher_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MainThreadDispatcherTest.cpp
  LIBS bootstrapper_ui LABELS threaded TIMEOUT 120)
