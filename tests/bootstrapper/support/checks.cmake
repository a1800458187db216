# The system check, the version comparison, the proxy-credential wrapper and the telemetry reporter.
project_add_test(NAME bootstrapper_support_checks_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SystemCheckTest.cpp ${CMAKE_CURRENT_LIST_DIR}/MSPVersionComparatorTest.cpp
  LIBS bootstrapper_support
  TIMEOUT 60)

project_add_test(NAME bootstrapper_support_vor_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/VORTest.cpp
  LIBS bootstrapper_support settings settings_test_support
  TIMEOUT 120)

project_add_test(NAME bootstrapper_support_dez_reporter_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DEZReporterTest.cpp
  LIBS bootstrapper_support telemetry http_test_peers PkgConfig::PUGIXML
  LABELS threaded
  TIMEOUT 180)
