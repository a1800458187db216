// The GTK host's start-up and shutdown order, with stand-ins for the facade's start and shutdown.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/WindowHost.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "tests/bootstrapper/ui/gtk/GtkTestEnvironment.h"
#include "tests/bootstrapper/ui/gtk/XvfbDisplay.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using gtk_test::suite;

class GtkWindowHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!suite().ready) GTEST_SKIP() << suite().skipReason;
        folder_ = test_support::makeTemporaryFolder("bootstrapper-gtk-host");
        tracePath_ = folder_ + "/trace.jsonl";
        ::setenv("BOOTSTRAP_UI_TRACE", tracePath_.c_str(), 1);
        mediator_.setSession(&sink_);
        mediator_.setViewHandles(&handles_);
        context_.mediator = &mediator_;
        context_.viewHandles = &handles_;
        context_.start = [this] {
            ++starts_;
            if (!startSucceeds_) return false;
            worker_ = std::thread([this] { script_(); });
            return true;
        };
        context_.shutdown = [this] {
            ++shutdowns_;
            struct sigaction action {};
            ::sigaction(SIGTERM, nullptr, &action);
            termDefaultAtJoin_ = action.sa_handler == SIG_DFL;
            controllerAtJoin_ = handles_.controller != nullptr;
            if (worker_.joinable()) worker_.join();
            handles_.controller = nullptr;
        };
        context_.logError = [this](const std::string& message) { errors_.push_back(message); };
    }
    void TearDown() override {
        ::unsetenv("BOOTSTRAP_UI_TRACE");
        ::setenv("BOOTSTRAP_RESOURCES_FOLDER", suite().resources.c_str(), 1);
        if (worker_.joinable()) worker_.join();
        if (!folder_.empty()) test_support::removeTree(folder_);
        EXPECT_EQ(gtk_test::takeGtkProblems(), "") << "GTK logged criticals or warnings";
    }

    int run() {
        char name[] = "bootstrapper";
        char session[] = "--sessionId=abc";
        char* argv[] = {name, session, nullptr};
        return runWindowHost(context_, 2, argv);
    }

    // The worker's wait for the window's first traced frame: polls what the window reports.
    std::string waitForMainXid() {
        const auto deadline = std::chrono::steady_clock::now() + gtk_test::kBound;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string& line : gtk_test::readLines(tracePath_)) {
                if (line.find("\"call\":\"initZorUI\"") != std::string::npos)
                    return gtk_test::tracedWindow(line, "main");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    void expectOrderlyShutdown() {
        EXPECT_EQ(shutdowns_, 1);
        EXPECT_TRUE(controllerAtJoin_) << "the window must outlive the join";
        EXPECT_EQ(handles_.controller, nullptr);
        const std::string trace = gtk_test::readFile(tracePath_);
        EXPECT_LT(trace.find("\"what\":\"loop-ended\""), trace.find("\"what\":\"shutdown-done\"")) << trace;
    }

    std::string folder_;
    std::string tracePath_;
    gtk_test::RecordingSink sink_;
    ZORViewHandles handles_;
    ViewMediator mediator_;
    WindowHostContext context_;
    std::function<void()> script_ = [] {};
    bool startSucceeds_ = true;
    std::thread worker_;
    int starts_ = 0;
    int shutdowns_ = 0;
    bool termDefaultAtJoin_ = false;
    bool controllerAtJoin_ = false;
    std::vector<std::string> errors_;
};

TEST_F(GtkWindowHostTest, CloseUIEndsTheRunWithZeroAfterOneShutdown) {
    script_ = [this] {
        mediator_.showProgressScreen("Downloading", true);
        mediator_.updateProgressPercent(50.0f);
        mediator_.closeUI();
    };
    EXPECT_EQ(run(), 0);
    expectOrderlyShutdown();
    EXPECT_NE(gtk_test::readFile(tracePath_).find("\"reason\":\"closeUI\""), std::string::npos);
    EXPECT_TRUE(errors_.empty());
}

// SIGTERM while the worker waits on the quit question: the queue's closing releases it, so the
// join ends; the signal's source is gone by then, so a second signal would end the process.
TEST_F(GtkWindowHostTest, SigtermWhileADialogIsUpEndsWith143) {
    script_ = [this] {
        ::kill(::getpid(), SIGTERM);
        mediator_.showQuitConfirmation();
    };
    EXPECT_EQ(run(), 128 + SIGTERM);
    expectOrderlyShutdown();
    EXPECT_TRUE(termDefaultAtJoin_) << "SIGTERM still caught during the join";
    EXPECT_TRUE(sink_.actions().empty()) << "a closed dialog must not answer";
}

TEST_F(GtkWindowHostTest, ADestroyByAnotherClientEndsWithOne) {
    std::atomic<int> toolStatus{-2};
    script_ = [this, &toolStatus] {
        const std::string xid = waitForMainXid();
        toolStatus = xid.empty() ? -3 : gtk_test::runProgram({suite().closeRequestTool, "--destroy", xid});
        // The window is gone: calls now only update the model.
        mediator_.showWarningErrorScreen("late", true);
    };
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(toolStatus, 0);
    // GTK itself warns while it takes down a window another client destroyed; that is not ours.
    gtk_test::takeGtkProblems();
    expectOrderlyShutdown();
}

TEST_F(GtkWindowHostTest, AFailedStartSkipsTheLoopAndReturnsMinusOne) {
    startSucceeds_ = false;
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(starts_, 1);
    EXPECT_EQ(shutdowns_, 1);
    EXPECT_EQ(handles_.controller, nullptr);
}

TEST_F(GtkWindowHostTest, AMissingWindowDescriptionIsLoggedAndShutsDown) {
    const std::string empty = folder_ + "/empty";
    ::mkdir(empty.c_str(), 0700);
    ::setenv("BOOTSTRAP_RESOURCES_FOLDER", empty.c_str(), 1);
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(starts_, 0);
    EXPECT_EQ(shutdowns_, 1);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_NE(errors_[0].find("MainWindow.ui"), std::string::npos) << errors_[0];
}

// What the facade's shutdown deletes: the handles and the mediator live in it.
struct FacadeStandIn {
    ZORViewHandles handles;
    ViewMediator mediator;
};

enum class RunEnd { CloseUI, Sigterm, DestroyedByAnotherClient, FailedStart };

struct FreedHandlesCase {
    const char* name;
    RunEnd end;
    int status;
};

class GtkWindowHostFreedHandlesTest : public GtkWindowHostTest,
                                      public ::testing::WithParamInterface<FreedHandlesCase> {};

// Every way a run ends: once shutdown has deleted the facade, the host touches nothing in it
// (under AddressSanitizer a late write is a heap-use-after-free).
TEST_P(GtkWindowHostFreedHandlesTest, NothingOfTheFacadeIsTouchedAfterShutdown) {
    auto facade = std::make_unique<FacadeStandIn>();
    ViewMediator& mediator = facade->mediator;
    mediator.setSession(&sink_);
    mediator.setViewHandles(&facade->handles);
    context_.mediator = &mediator;
    context_.viewHandles = &facade->handles;
    const RunEnd end = GetParam().end;
    startSucceeds_ = end != RunEnd::FailedStart;
    std::atomic<int> toolStatus{0};
    script_ = [this, &mediator, &toolStatus, end] {
        switch (end) {
            case RunEnd::CloseUI:
                mediator.showProgressScreen("Downloading", true);
                mediator.closeUI();
                break;
            case RunEnd::Sigterm:
                ::kill(::getpid(), SIGTERM);
                mediator.showQuitConfirmation();
                break;
            case RunEnd::DestroyedByAnotherClient: {
                const std::string xid = waitForMainXid();
                toolStatus = xid.empty() ? -3 : gtk_test::runProgram({suite().closeRequestTool, "--destroy", xid});
                break;
            }
            case RunEnd::FailedStart: break;
        }
    };
    bool controllerAtJoin = false;
    context_.shutdown = [this, &facade, &controllerAtJoin] {
        ++shutdowns_;
        controllerAtJoin = facade->handles.controller != nullptr;
        if (worker_.joinable()) worker_.join();
        facade->handles.controller = nullptr;
        facade.reset();
    };

    EXPECT_EQ(run(), GetParam().status);
    EXPECT_EQ(shutdowns_, 1);
    EXPECT_TRUE(controllerAtJoin) << "the window must outlive the join";
    EXPECT_EQ(facade, nullptr);
    EXPECT_EQ(toolStatus, 0);
    // GTK itself warns while it takes down a window another client destroyed; that is not ours.
    if (end == RunEnd::DestroyedByAnotherClient) gtk_test::takeGtkProblems();
}

INSTANTIATE_TEST_SUITE_P(RunEnds, GtkWindowHostFreedHandlesTest,
                         ::testing::Values(FreedHandlesCase{"closeUI", RunEnd::CloseUI, 0},
                                           FreedHandlesCase{"sigterm", RunEnd::Sigterm, 128 + SIGTERM},
                                           FreedHandlesCase{"destroyed", RunEnd::DestroyedByAnotherClient, 1},
                                           FreedHandlesCase{"failedStart", RunEnd::FailedStart, -1}),
                         [](const ::testing::TestParamInfo<FreedHandlesCase>& info) { return info.param.name; });

}  // namespace
