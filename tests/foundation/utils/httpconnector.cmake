# The HTTP client against loopback peers, a scripted proxy and tinyproxy.
project_add_test(NAME foundation_httpconnector_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/HTTPConnectorTest.cpp
  LIBS foundation_utils http_test_peers ZLIB::ZLIB
  LABELS threaded
  TIMEOUT 120)
