# The engine's core: jobs and threads, adaptive control, the manager and the handle interface.
project_add_test(NAME download_adaptive_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/AdaptiveThreadControllerTest.cpp
  LIBS download TIMEOUT 60)
project_add_test(NAME download_engine_interface_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DownloadEngineTest.cpp
  LIBS download test_support TIMEOUT 60)
project_add_test(NAME download_jobs_global_data_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DownloadJobsTest.cpp
  LIBS download download_test_server LABELS threaded TIMEOUT 120)
project_add_test(NAME download_jobs_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/JobsAndThreadsTest.cpp
  LIBS download LABELS threaded TIMEOUT 60)
project_add_test(NAME download_meta_resume_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/MetaResumeTest.cpp
  LIBS download download_test_server LABELS threaded TIMEOUT 120)
project_add_test(NAME download_engine_end_to_end_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineEndToEndTest.cpp
  LIBS download download_test_server http_test_peers LABELS threaded TIMEOUT 300)
project_add_test(NAME download_stalled_probe_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StalledProbeTest.cpp
  LIBS download download_test_server LABELS threaded TIMEOUT 120)
