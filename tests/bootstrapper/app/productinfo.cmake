# Product information read from the bundle's "productInfo.xml".
project_add_test(NAME bootstrapper_app_productinfo_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProductInfoTest.cpp
  LIBS bootstrapper_app
  TIMEOUT 60)
