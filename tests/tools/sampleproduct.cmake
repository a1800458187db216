# The sample product generator (tools/make-sample-product), checked by a second implementation.
project_add_test(NAME tools_sample_product_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SampleProductTest.cpp
  LIBS download_test_server localization platform PkgConfig::PUGIXML OpenSSL::Crypto
  TIMEOUT 120)
add_dependencies(tools_sample_product_test stringtable)
target_compile_definitions(tools_sample_product_test PRIVATE
  SAMPLE_PRODUCT_TOOL="${PROJECT_SOURCE_DIR}/tools/make-sample-product"
  STRING_TABLE_TOOL="$<TARGET_FILE:stringtable>")
