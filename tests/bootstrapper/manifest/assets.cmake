# Assets and actions: factories, action order and restarts, the install action's launch rules.
project_add_test(NAME bootstrapper_manifest_assets_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AssetActionTest.cpp
  LIBS bootstrapper_manifest
  TIMEOUT 120)
