# The engine against faults of the network, the server, a proxy and the disk, and against kill -9.
project_add_test(NAME download_engine_faults_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineFaultScenariosTest.cpp
  LIBS download download_test_server http_test_peers LABELS threaded TIMEOUT 120)
