# Events, critical sections, strings, XML and the command line.
project_add_test(NAME foundation_events_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/EventUtilsTest.cpp
  LIBS foundation_utils LABELS threaded TIMEOUT 60)
project_add_test(NAME foundation_string_utils_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StringUtilsTest.cpp
  LIBS foundation_utils ZLIB::ZLIB TIMEOUT 60)
project_add_test(NAME foundation_xml_parser_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/XMLParserTest.cpp
  LIBS foundation_utils TIMEOUT 60)
project_add_test(NAME foundation_command_line_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CommandLineParserTest.cpp
  LIBS foundation_utils TIMEOUT 60)
