// The headless window under a worker thread: waits, clicks, scripted and interactive answers.
#include "tests/bootstrapper/ui/HeadlessWindow.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/ui/UserActionSink.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "tests/bootstrapper/ui/RecordingActionSink.h"

namespace {

using test_support::HeadlessWindow;
using test_support::WindowCall;
using Dialog = ScreenModel::Dialog;

constexpr std::chrono::seconds kWait(30);

using RecordingSink = test_support::RecordingActionSink;

struct Wired {
    explicit Wired(std::chrono::milliseconds answerTimeout = std::chrono::seconds(60))
        : window(mediator, WindowTexts::defaults(), answerTimeout) {
        mediator.setSession(&sink);
        mediator.setViewHandles(&handles);
        handles.controller = &window;
    }
    RecordingSink sink;
    ZORViewHandles handles;
    ViewMediator mediator;
    HeadlessWindow window;
};

bool dialogIs(const HeadlessWindow& window, Dialog dialog) {
    return window.waitFor([dialog](const ScreenModel& m, const auto&) { return m.dialog() == dialog; }, kWait);
}

using Actions = std::vector<std::string>;

TEST(HeadlessWindow, TestThreadWaitsForWhatTheWorkerShowsAndClicksThroughTheMediator) {
    Wired wired;
    std::thread worker([&wired] {
        wired.mediator.showProgressScreen("Downloading", true);
        wired.mediator.updateProgressPercent(5.0f);
        wired.mediator.showWarningErrorScreen("Server said 404", true);
    });
    ASSERT_TRUE(wired.window.waitFor(
        [](const ScreenModel& m, const auto&) {
            return m.screen() == ScreenModel::Screen::Warning && m.errorText() == "Server said 404";
        },
        kWait))
        << wired.window.describeCalls();
    worker.join();
    EXPECT_TRUE(wired.window.clickRetry());
    EXPECT_TRUE(wired.window.clickClose());
    EXPECT_TRUE(wired.window.clickQuit());
    EXPECT_EQ(wired.sink.actions(), (Actions{"retry", "quit", "quit"}));

    // The log holds every call in order, then the inputs.
    std::vector<std::string> names;
    for (const auto& call : wired.window.calls()) names.push_back(call.name);
    EXPECT_EQ(names, (std::vector<std::string>{"showProgressScreen", "updateProgressPercent", "showWarningErrorScreen",
                                               "clickRetry", "clickClose", "clickQuit"}));
}

TEST(HeadlessWindow, ClicksTheModelRefusesPostNothing) {
    Wired wired;
    // As the window starts: the close box is disabled and there is no retry button.
    EXPECT_FALSE(wired.window.clickClose());
    EXPECT_FALSE(wired.window.clickRetry());
    EXPECT_FALSE(wired.window.toggleRemember(true));
    wired.mediator.showProgressScreen("Installing", true);
    wired.mediator.enableQuitButton(false);
    EXPECT_FALSE(wired.window.clickQuit());
    EXPECT_FALSE(wired.window.clickClose());
    wired.mediator.showFatalErrorScreen("install failed", false);
    EXPECT_TRUE(wired.window.clickClose());
    wired.mediator.closeUI();
    EXPECT_FALSE(wired.window.clickQuit());
    EXPECT_EQ(wired.sink.actions(), (Actions{"quit"}));
    const auto calls = wired.window.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().kind, WindowCall::Kind::Input);
    EXPECT_EQ(calls.back().arguments, (std::vector<std::string>{"ignored"}));
}

// A click is judged against the model as the worker's calls left it at that moment: replaying
// the log on a fresh model gives every click the outcome it had.
TEST(HeadlessWindow, ClickOutcomesAgreeWithTheModelAtTheirPlaceInTheLog) {
    Wired wired;
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        for (int i = 0; i < 2000; ++i) {
            wired.mediator.enableQuitButton(i % 3 == 0);
            wired.mediator.updateProgressPercent(static_cast<float>(i % 100));
        }
        workerDone = true;
    });
    do {
        wired.window.clickClose();
    } while (!workerDone);
    worker.join();

    ScreenModel replay;
    std::size_t posted = 0;
    for (const auto& call : wired.window.calls()) {
        if (call.name == "enableQuitButton") {
            replay.applyEnableQuitButton(call.arguments.at(0) == "true");
        } else if (call.name == "clickClose") {
            const bool taken = call.arguments.at(0) == "posted";
            ASSERT_EQ(taken, replay.acceptsClick(ScreenModel::Control::CloseBox));
            posted += taken ? 1 : 0;
        }
    }
    EXPECT_EQ(wired.sink.actions().size(), posted);
}

TEST(HeadlessWindow, ScriptedAnswersAreStoredBeforeTheBlockingCallReturns) {
    Wired wired;
    wired.window.scriptProxySubmit("alice", "first", true);
    wired.window.scriptProxySubmit("alice", "second", true);
    wired.window.scriptProxyCancel();
    wired.window.scriptQuitAnswer(false);
    wired.window.scriptQuitAnswer(true);
    std::vector<Actions> seenAfterEachCall;
    std::thread worker([&wired, &seenAfterEachCall] {
        wired.mediator.showProxyDialog("title", "user", "password");
        seenAfterEachCall.push_back(wired.sink.actions());
        wired.mediator.showProxyDialog("", "", "");
        seenAfterEachCall.push_back(wired.sink.actions());
        wired.mediator.showProxyDialog("", "", "");
        seenAfterEachCall.push_back(wired.sink.actions());
        wired.mediator.showQuitConfirmation();
        seenAfterEachCall.push_back(wired.sink.actions());
        wired.mediator.showQuitConfirmation();
        seenAfterEachCall.push_back(wired.sink.actions());
    });
    worker.join();
    ASSERT_EQ(seenAfterEachCall.size(), 5u);
    // The check box is ticked once: a toggle posts, an unchanged box does not.
    EXPECT_EQ(seenAfterEachCall[0], (Actions{"remember on", "submit alice first"}));
    EXPECT_EQ(seenAfterEachCall[1].back(), "submit alice second");
    EXPECT_EQ(seenAfterEachCall[1].size(), 3u);
    EXPECT_EQ(seenAfterEachCall[2].back(), "cancel");
    EXPECT_EQ(seenAfterEachCall[3].back(), "rejectQuit");
    EXPECT_EQ(seenAfterEachCall[4].back(), "confirmQuit");
    const ScreenModel model = wired.window.model();
    EXPECT_EQ(model.dialog(), Dialog::None);
    EXPECT_EQ(model.sheetUser(), "alice");
    EXPECT_EQ(model.sheetPassword(), "second");
    EXPECT_TRUE(model.rememberChecked());
    // The password never reaches the log.
    EXPECT_EQ(wired.window.describeCalls().find("second"), std::string::npos);
}

TEST(HeadlessWindow, InteractiveAnswersReleaseTheBlockedWorker) {
    Wired wired;
    Actions afterSheet;
    Actions afterQuestion;
    std::thread worker([&] {
        wired.mediator.showWarningErrorScreen("proxy", false);
        wired.mediator.showProxyDialog("t", "u", "p");
        afterSheet = wired.sink.actions();
        wired.mediator.showQuitConfirmation();
        afterQuestion = wired.sink.actions();
    });

    ASSERT_TRUE(dialogIs(wired.window, Dialog::ProxySheet)) << wired.window.describeCalls();
    // The sheet blocks the window beneath it.
    EXPECT_FALSE(wired.window.clickQuit());
    EXPECT_FALSE(wired.window.clickClose());
    EXPECT_FALSE(wired.window.answerQuit(true));
    EXPECT_TRUE(wired.window.toggleRemember(true));
    EXPECT_TRUE(wired.window.answerProxy("bob", "pw"));
    EXPECT_FALSE(wired.window.answerProxy("bob", "again")) << "one answer a showing";

    ASSERT_TRUE(dialogIs(wired.window, Dialog::QuitQuestion)) << wired.window.describeCalls();
    EXPECT_FALSE(wired.window.cancelProxy());
    EXPECT_TRUE(wired.window.answerQuit(false));
    worker.join();

    EXPECT_EQ(afterSheet, (Actions{"remember on", "submit bob pw"}));
    EXPECT_EQ(afterQuestion, (Actions{"remember on", "submit bob pw", "rejectQuit"}));
    EXPECT_EQ(wired.window.model().dialog(), Dialog::None);
}

TEST(HeadlessWindow, UnansweredDialogsFailTheTestAndAnswerCancelOrNo) {
    Wired wired(std::chrono::milliseconds(20));
    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(
        {
            std::thread worker([&wired] { wired.mediator.showProxyDialog("t", "u", "p"); });
            worker.join();
        },
        "proxy sheet was not answered");
    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(
        {
            std::thread worker([&wired] { wired.mediator.showQuitConfirmation(); });
            worker.join();
        },
        "quit question was not answered");
    EXPECT_EQ(wired.sink.actions(), (Actions{"cancel", "rejectQuit"}));
    EXPECT_EQ(wired.window.model().dialog(), Dialog::None);
}

TEST(HeadlessWindow, ClosedWindowSideReleasesBlockedCallsWithoutACode) {
    Wired wired;
    std::thread worker([&wired] {
        wired.mediator.showQuitConfirmation();
        // Later blocking calls return at once.
        wired.mediator.showProxyDialog("t", "u", "p");
        wired.mediator.showQuitConfirmation();
    });
    ASSERT_TRUE(dialogIs(wired.window, Dialog::QuitQuestion));
    wired.window.closeWindowSide();
    worker.join();
    EXPECT_TRUE(wired.sink.actions().empty());
    EXPECT_FALSE(wired.window.answerQuit(true));
    EXPECT_FALSE(wired.window.clickQuit());
    EXPECT_EQ(wired.window.callCount("showQuitConfirmation"), 2u);
}

TEST(HeadlessWindow, CloseRequestIsRecordedAndSignalled) {
    Wired wired;
    EXPECT_FALSE(wired.window.closeRequested());
    std::thread worker([&wired] {
        wired.mediator.showProgressScreen("Launching", true);
        wired.mediator.closeUI();
    });
    ASSERT_TRUE(wired.window.waitForClose(kWait));
    worker.join();
    EXPECT_TRUE(wired.window.closeRequested());
    EXPECT_FALSE(wired.window.model().windowShown());
    EXPECT_EQ(wired.window.callCount("closeUI"), 1u);
}

}  // namespace
