# The validators: reader rules, segment checks, the writer against the sample product generator.
project_add_test(NAME bootstrapper_manifest_validators_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ValidatorTest.cpp
  LIBS bootstrapper_manifest
  TIMEOUT 120)
target_compile_definitions(bootstrapper_manifest_validators_test PRIVATE
  SAMPLE_PRODUCT_TOOL="${PROJECT_SOURCE_DIR}/tools/make-sample-product")
