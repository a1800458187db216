# Warnings, sanitizers and the clang thread-safety analysis, shared by every target.
option(PROJECT_WERROR "Treat warnings as errors" OFF)
set(PROJECT_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address;undefined' or 'thread'")

add_compile_options(-Wall -Wextra -Wpedantic -Wno-unused-parameter)
if(PROJECT_WERROR)
  add_compile_options(-Werror)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()

if(PROJECT_SANITIZE)
  string(REPLACE ";" "," sanitizers "${PROJECT_SANITIZE}")
  add_compile_options(-fsanitize=${sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${sanitizers})
endif()
