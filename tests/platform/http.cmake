# The HTTP transfer layer and its proxy settings, against loopback peers and tinyproxy.
project_add_test(NAME platform_http_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/HttpTransferTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ProxySettingsTest.cpp
  LIBS platform http_test_peers
  LABELS threaded
  TIMEOUT 120)
