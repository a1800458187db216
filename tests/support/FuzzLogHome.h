// A home under the fuzz build for the log facade of a fuzz target, and its lock sets removed at exit.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/logging/LogFacade.h"
#include "tests/support/LogFacadeSets.h"

namespace test_support {

// The facade keys a System V set on the home it first sees and another on its VexApp.log, and it
// is never destroyed, so nothing removes them. Called first in LLVMFuzzerInitialize by a target
// that logs: HOME becomes FUZZ_LOG_HOME (build/fuzz/homes/<target>, from project_add_fuzzer), the
// logs go below it, and both sets go at exit. tools/fuzz looks for sets keyed on that folder after
// the run, so a target that leaves one fails.
inline void useFuzzLogHome() {
    static const std::string home = FUZZ_LOG_HOME;
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    Logger::getInstance();
    std::atexit([] { removeLogFacadeSets(home); });
}

}  // namespace test_support
