# The download manifest end to end: the sample product served on loopback, its image attached.
project_add_test(NAME bootstrapper_manifest_download_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DownloadManifestTest.cpp
  LIBS bootstrapper_manifest download download_test_server
  LABELS threaded TIMEOUT 300)
add_dependencies(bootstrapper_manifest_download_test diskimage)
target_compile_definitions(bootstrapper_manifest_download_test PRIVATE
  DISK_IMAGE_TOOL="$<TARGET_FILE:diskimage>"
  SAMPLE_PRODUCT_TOOL="${PROJECT_SOURCE_DIR}/tools/make-sample-product")
