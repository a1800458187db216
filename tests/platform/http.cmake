# The HTTP transfer layer and its proxy settings, against loopback peers and tinyproxy.
find_package(OpenSSL REQUIRED COMPONENTS SSL)
add_library(http_test_peers STATIC ${CMAKE_CURRENT_LIST_DIR}/LoopbackHttpPeer.cpp)
target_link_libraries(http_test_peers PUBLIC OpenSSL::SSL Threads::Threads)

project_add_test(NAME platform_http_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/HttpTransferTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ProxySettingsTest.cpp
  LIBS platform http_test_peers
  LABELS threaded
  TIMEOUT 120)
