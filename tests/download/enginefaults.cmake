# The engine against faults of the network, the server, a proxy and the disk, and against kill -9.
project_add_test(NAME download_engine_faults_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineFaultScenariosTest.cpp
  LIBS download download_test_server http_test_peers LABELS threaded TIMEOUT 120)

# A download in a process of its own, for the test that kills it.
add_executable(engine_download_child ${CMAKE_CURRENT_LIST_DIR}/EngineDownloadChild.cpp)
target_link_libraries(engine_download_child PRIVATE download)
project_add_test(NAME download_engine_kill_resume_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineKillResumeTest.cpp
  LIBS download download_test_server LABELS threaded TIMEOUT 180)
target_compile_definitions(download_engine_kill_resume_test PRIVATE
  ENGINE_DOWNLOAD_CHILD="$<TARGET_FILE:engine_download_child>")
add_dependencies(download_engine_kill_resume_test engine_download_child)

# Symbolic links planted at the partial download's and the meta file's names.
project_add_test(NAME download_planted_link_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/PlantedLinkTest.cpp
  LIBS download download_test_server LABELS threaded TIMEOUT 120)
