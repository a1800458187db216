# The engine's lower layer: mutex, files, meta file, error policy, HTTP transport.
project_add_test(NAME download_mutex_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/MutexTest.cpp
  LIBS download LABELS threaded TIMEOUT 60)

project_add_test(NAME download_files_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileSystemUtilsTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ZAMDFileManagerTest.cpp
  LIBS download TIMEOUT 60)
project_add_test(NAME download_error_policy_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ErrorHandlerTest.cpp ${CMAKE_CURRENT_LIST_DIR}/EngineResultsTest.cpp
  LIBS download TIMEOUT 60)
project_add_test(NAME download_http_transport_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/HttpDownloaderTest.cpp
  LIBS download download_test_server LABELS threaded TIMEOUT 120)
project_add_test(NAME download_cookie_store_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CookieStoreTest.cpp
  LIBS download TIMEOUT 60)
