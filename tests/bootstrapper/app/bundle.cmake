# The bundle's string tables, checked against their sources and the program's keys.
project_add_test(NAME bootstrapper_string_tables_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/StringTablesTest.cpp
  LIBS localization
  TIMEOUT 60)
add_dependencies(bootstrapper_string_tables_test bootstrapper_bundle)

# The laid-out bundle: its files, and its XML files read by the classes that read them in a run.
if(TARGET bootstrapper_app)
  project_add_test(NAME bootstrapper_bundle_layout_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/BundleLayoutTest.cpp
    LIBS bootstrapper_app
    TIMEOUT 60)
  add_dependencies(bootstrapper_bundle_layout_test bootstrapper_bundle)
endif()
