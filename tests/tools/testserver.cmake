# The loopback test server's own behaviour: gates, the telemetry sink, scripted statuses.
project_add_test(NAME tools_test_server_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestServerTest.cpp
  LIBS download_test_server
  TIMEOUT 120)
