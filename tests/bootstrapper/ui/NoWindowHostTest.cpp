// The host without a window: one ERROR line, one shutdown, -1, and the worker never started.
#include "bootstrapper/ui/WindowHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(NoWindowHost, LogsShutsDownOnceAndNeverStartsTheWorker) {
    std::vector<std::string> events;
    WindowHostContext context;
    context.start = [&events] {
        events.push_back("start");
        return true;
    };
    context.shutdown = [&events] { events.push_back("shutdown"); };
    context.logError = [&events](const std::string& line) { events.push_back("ERROR " + line); };
    EXPECT_EQ(runNoWindowHost(context), -1);
    EXPECT_EQ(events, (std::vector<std::string>{"ERROR No window toolkit in this build", "shutdown"}));
}

TEST(NoWindowHost, ToleratesAContextWithoutCallbacks) {
    WindowHostContext context;
    EXPECT_EQ(runNoWindowHost(context), -1);
}

}  // namespace
