# The download client against the loopback test server.
project_add_test(NAME bootstrapper_manifest_downloader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileDownloaderTest.cpp
  LIBS bootstrapper_manifest download download_test_server
  LABELS threaded TIMEOUT 180)
