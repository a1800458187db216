# Assets and actions: factories, action order and restarts, the install action's launch rules.
project_add_test(NAME bootstrapper_manifest_assets_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AssetActionTest.cpp
  LIBS bootstrapper_manifest
  TIMEOUT 120)
# The disk-image asset's clean-up of earlier copies, against real mounts of both kinds.
project_add_test(NAME bootstrapper_manifest_disk_image_asset_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DiskImageAssetTest.cpp
  LIBS bootstrapper_manifest test_user_space_mounts
  TIMEOUT 120)
add_dependencies(bootstrapper_manifest_disk_image_asset_test diskimage)
target_compile_definitions(bootstrapper_manifest_disk_image_asset_test PRIVATE
  DISK_IMAGE_TOOL="$<TARGET_FILE:diskimage>"
  SAMPLE_PRODUCT_TOOL="${PROJECT_SOURCE_DIR}/tools/make-sample-product")
