# libFuzzer targets: PROJECT_FUZZ builds the libraries instrumented for coverage under ASan and UBSan.
# project_add_fuzzer(<name> SOURCES files... [LIBRARIES libs...] [SEEDS files-or-folders...]
#                    [SEED_PROGRAM target args...])
# makes build/<folder>/fuzzers/<name> and a list of its seeds there, <name>.seeds, that tools/fuzz
# reads: each SEEDS entry is copied in, the SEED_PROGRAM is run with its arguments and the seed folder
# after them, and tests/<library>/fuzz/seeds/<name>/ beside the caller is added when it exists.
# A target that logs through the log facade calls test_support::useFuzzLogHome() first.
# PROJECT_FUZZ_SAMPLE_DIR is where tools/fuzz writes the sample product before it collects seeds.
option(PROJECT_FUZZ "Build the libFuzzer targets instead of the tests (clang only)" OFF)

if(PROJECT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "PROJECT_FUZZ needs clang (-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)")
  endif()
  if(PROJECT_SANITIZE)
    message(FATAL_ERROR "PROJECT_FUZZ chooses its own sanitizers; leave PROJECT_SANITIZE empty")
  endif()
  # A normal variable over the cache entry: ProjectOptions.cmake applies it to every target.
  set(PROJECT_SANITIZE "fuzzer-no-link;address;undefined")
  # Fast enough to explore, with the asserts kept.
  add_compile_options(-O1 -g)
  set(PROJECT_FUZZ_SAMPLE_DIR ${CMAKE_BINARY_DIR}/sample-product)
  add_custom_target(fuzzers)
endif()

function(project_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBRARIES;SEEDS;SEED_PROGRAM" ${ARGN})
  if(NOT PROJECT_FUZZ)
    return()
  endif()
  set(folder ${CMAKE_BINARY_DIR}/fuzzers)
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBRARIES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  # A target that logs keeps its home here (tests/support/FuzzLogHome.h); tools/fuzz checks it.
  target_compile_definitions(${name} PRIVATE FUZZ_LOG_HOME="${CMAKE_BINARY_DIR}/homes/${name}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
  add_dependencies(fuzzers ${name})

  set(lines "")
  foreach(seed IN LISTS F_SEEDS)
    string(APPEND lines "copy\t${seed}\n")
  endforeach()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/seeds/${name})
    string(APPEND lines "copy\t${CMAKE_CURRENT_SOURCE_DIR}/seeds/${name}\n")
  endif()
  if(F_SEED_PROGRAM)
    list(POP_FRONT F_SEED_PROGRAM program)
    list(JOIN F_SEED_PROGRAM "\t" arguments)
    string(APPEND lines "run\t$<TARGET_FILE:${program}>\t${arguments}\n")
    # Building the target alone builds its seeds' maker too.
    add_dependencies(${name} ${program})
  endif()
  file(GENERATE OUTPUT ${folder}/${name}.seeds CONTENT "${lines}")
endfunction()
