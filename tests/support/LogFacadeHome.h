// Gives the process-wide log facade a temporary home of its own, for programs that log through it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "foundation/logging/LogFacade.h"
#include "tests/support/LogFacadeSets.h"
#include "tests/support/TemporaryEnvironment.h"

namespace test_support {

// The facade keys its System V mutex on the home it first sees, writes VexApp.log in that
// home's Logs folder, and is never destroyed. Made here, before any test runs, with HOME
// pointing at a temporary folder, it never touches the real home. HOME stays there until the
// program ends, because every log target creates ~/Library/Logs when it is made; then both
// lock sets and the folder go. Include this header in one source file of a test program that
// logs (through Logger::getInstance or a log target of its own).
class LogFacadeHome : public ::testing::Environment {
public:
    void SetUp() override {
        folder_ = makeTemporaryFolder("log-facade-home");
        const char* old = std::getenv("HOME");
        hadHome_ = old != nullptr;
        savedHome_ = old ? old : "";
        ::setenv("HOME", folder_.c_str(), 1);
        Logger::getInstance();
    }
    void TearDown() override {
        if (hadHome_)
            ::setenv("HOME", savedHome_.c_str(), 1);
        else
            ::unsetenv("HOME");
        removeLogFacadeSets(folder_);
        removeTree(folder_);
    }

private:
    std::string folder_;
    std::string savedHome_;
    bool hadHome_ = false;
};

// One registration per program, however many files include this header.
inline const ::testing::Environment* const kLogFacadeHome = ::testing::AddGlobalTestEnvironment(new LogFacadeHome);

}  // namespace test_support
