# The URL parser every layer splits URLs with.
project_add_test(NAME platform_url_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/UrlTest.cpp LIBS platform TIMEOUT 60)
