// The worker's user-action dispatch and error screens, one tick at a time, without a thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootstrapper/app/BootstrapSeams.h"
#include "bootstrapper/app/TestSeams.h"
#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/app/ZORWorkflowManager.h"
#include "bootstrapper/support/SupportAddress.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "tests/bootstrapper/app/RecordingWindow.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

struct Harness {
    Harness() : window(session) {
        session.viewHandles.controller = &window;
        mediator.setSession(&session);
        mediator.setUtils(&session.utils);
        mediator.setViewHandles(&session.viewHandles);
        EXPECT_TRUE(manager.init(&session, &mediator));
        bootstrap_seams::testing::setLinkOpener([this](const std::string& url) { openedLinks.push_back(url); });
    }
    ~Harness() { bootstrap_seams::testing::setLinkOpener({}); }

    test_support::TemporaryEnvironment environment;
    ZORSessionProxy session;
    ViewMediator mediator;
    test_support::RecordingWindow window;
    ZORWorkflowManager manager;
    std::vector<std::string> openedLinks;
};

struct DispatchCase {
    const char* name;
    int32_t code;
    int32_t errorKind;
    int32_t state;
    int32_t subState;
    int32_t button2Mode;
    // Expected after the tick.
    bool step;
    int32_t stateAfter;
    int32_t subStateAfter;
    int32_t errorKindAfter;
    int32_t userActionAfter;
    bool quitQuestion;
    bool linkOpened;
};

// Codes: 2 quit, 3 submit, 4 cancel, 5 retry, 6 yes, 7 no, 8 waiting.
const DispatchCase kDispatchCases[] = {
    {"waiting_kept_and_no_step", 8, 4, 9, 5, 0, false, 9, 5, 4, 8, false, false},
    {"waiting_kept_on_fatal_screen", 8, 5, 3, 0, 0, false, 3, 0, 5, 8, false, false},
    {"nothing_pending_steps", 0, 0, 4, 0, 0, true, 4, 0, 0, 0, false, false},
    {"unknown_code_cleared_and_steps", 9, 0, 5, 0, 0, true, 5, 0, 0, 0, false, false},
    {"quit_during_download_pauses_and_asks", 2, 0, 9, 3, 0, false, 9, 5, 0, 8, true, false},
    {"quit_code_1_acts_as_2", 1, 0, 9, 3, 0, false, 9, 5, 0, 8, true, false},
    {"quit_in_state_10_pauses_too", 2, 0, 10, 3, 0, false, 10, 5, 0, 8, true, false},
    {"quit_in_version_file_asks_without_pause", 2, 0, 6, 2, 0, false, 6, 2, 0, 8, true, false},
    {"quit_during_install_asks_without_pause", 2, 0, 14, 0, 0, false, 14, 0, 0, 8, true, false},
    {"quit_over_warning_asks", 2, 4, 6, 5, 0, false, 6, 5, 4, 8, true, false},
    {"quit_over_instance_warning_asks", 2, 7, 2, 0, 0, false, 2, 0, 7, 8, true, false},
    {"quit_over_deployment_warning_asks", 2, 8, 4, 0, 0, false, 4, 0, 8, 8, true, false},
    {"quit_over_other_instances_asks", 2, 9, 13, 0, 0, false, 13, 0, 9, 8, true, false},
    {"quit_on_fatal_screen_closes", 2, 5, 9, 5, 0, false, 17, 5, 5, 0, false, false},
    {"quit_on_bootstrap_failure_closes", 2, 6, 1, 0, 0, false, 17, 0, 6, 0, false, false},
    {"quit_on_os_screen_closes", 2, 10, 3, 0, 0, false, 17, 0, 10, 0, false, false},
    {"quit_after_proxy_cancel_closes", 2, 2, 18, 5, 0, false, 17, 5, 2, 0, false, false},
    {"quit_with_sheet_kind_closes", 2, 1, 6, 5, 0, false, 17, 5, 1, 0, false, false},
    {"submit_restarts_version_file", 3, 1, 6, 5, 0, true, 6, 6, 0, 0, false, false},
    {"submit_resumes_package", 3, 1, 9, 5, 0, true, 9, 6, 0, 0, false, false},
    {"submit_during_install_resumes_in_place", 3, 1, 14, 5, 0, true, 14, 5, 0, 0, false, false},
    {"cancel_goes_inert_with_fatal_screen", 4, 1, 9, 5, 0, true, 18, 5, 2, 8, false, false},
    {"retry_restarts_version_file", 5, 4, 6, 5, 0, true, 6, 6, 0, 0, false, false},
    {"retry_resumes_package", 5, 4, 9, 5, 0, true, 9, 6, 0, 0, false, false},
    {"retry_during_install_resumes_in_place", 5, 4, 14, 5, 0, true, 14, 5, 0, 0, false, false},
    {"retry_elsewhere_only_clears_kind", 5, 4, 13, 0, 0, true, 13, 0, 0, 0, false, false},
    {"second_button_opens_link_then_closes", 5, 5, 14, 0, 1, true, 17, 0, 5, 0, false, true},
    {"second_button_opens_link_then_asks", 5, 0, 9, 3, 1, true, 9, 5, 0, 8, true, true},
    {"yes_closes", 6, 0, 9, 5, 0, true, 17, 5, 0, 0, false, false},
    {"no_resumes_paused_package", 7, 0, 9, 5, 0, false, 9, 6, 0, 0, false, false},
    {"no_restarts_paused_version_file", 7, 0, 6, 5, 0, false, 6, 6, 0, 0, false, false},
    {"no_outside_sub_step_5_changes_nothing", 7, 0, 9, 3, 0, false, 9, 3, 0, 0, false, false},
    {"no_during_install_goes_on", 7, 0, 14, 0, 0, false, 14, 0, 0, 0, false, false},
    {"no_in_other_state_changes_nothing", 7, 0, 13, 5, 0, false, 13, 5, 0, 0, false, false},
    {"no_over_warning_keeps_waiting", 7, 4, 9, 5, 0, false, 9, 5, 4, 8, false, false},
    {"no_over_install_warning_keeps_waiting", 7, 4, 14, 5, 0, false, 14, 5, 4, 8, false, false},
    {"no_over_lock_warning_polls_on", 7, 8, 4, 0, 0, false, 4, 0, 8, 0, false, false},
    {"no_over_instance_warning_polls_on", 7, 7, 2, 0, 0, false, 2, 0, 7, 0, false, false},
};

class DispatchTest : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchTest, OneTick) {
    const DispatchCase& c = GetParam();
    Harness h;
    h.session.errorKind = c.errorKind;
    h.session.state = c.state;
    h.session.subState = c.subState;
    h.session.viewHandles.button2Mode.store(c.button2Mode);
    h.session.userAction.store(c.code);

    EXPECT_EQ(h.manager.dispatchUserAction(), c.step);
    EXPECT_EQ(h.session.state, c.stateAfter);
    EXPECT_EQ(h.session.subState, c.subStateAfter);
    EXPECT_EQ(h.session.errorKind, c.errorKindAfter);
    EXPECT_EQ(h.session.userAction.load(), c.userActionAfter);
    EXPECT_EQ(h.window.called("showQuitConfirmation"), c.quitQuestion);
    if (c.quitQuestion) {
        // The 8 stands before the question blocks, so the answer is not erased.
        for (const test_support::RecordedCall& call : h.window.calls) {
            if (call.name == "showQuitConfirmation") {
                EXPECT_EQ(call.userActionAtCall, 8);
            }
        }
    }
    if (c.linkOpened) {
        ASSERT_EQ(h.openedLinks.size(), 1u);
        EXPECT_EQ(h.openedLinks[0], kSupportAddress);
    } else {
        EXPECT_TRUE(h.openedLinks.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, DispatchTest, ::testing::ValuesIn(kDispatchCases),
                         [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.name; });

TEST(DispatchTest, AnswerToQuestionIsTakenNextTick) {
    Harness h;
    h.session.state = 9;
    h.session.subState = 3;
    h.session.quit();
    EXPECT_FALSE(h.manager.dispatchUserAction());
    // While the question is up nothing steps.
    EXPECT_FALSE(h.manager.dispatchUserAction());
    EXPECT_EQ(h.session.userAction.load(), 8);
    h.session.rejectQuit();
    EXPECT_FALSE(h.manager.dispatchUserAction());
    EXPECT_EQ(h.session.subState, 6);
    EXPECT_TRUE(h.manager.dispatchUserAction());
}

TEST(DispatchTest, RetryOrSubmitDuringInstallBringsTheInstallBarBack) {
    for (const int32_t code : {3, 5}) {
        SCOPED_TRACE(code);
        Harness h;
        h.session.state = 14;
        h.session.errorKind = code == 3 ? 1 : 4;
        h.session.userAction.store(code);
        EXPECT_TRUE(h.manager.dispatchUserAction());
        ASSERT_EQ(h.window.calls.size(), 1u);
        EXPECT_EQ(h.window.calls[0].name, "showProgressScreen");
        EXPECT_EQ(h.window.calls[0].text, "Installing Morvane Studio Packager");
        EXPECT_FALSE(h.window.calls[0].flag);
    }
}

// A quit clicked after the tick took its action, while the same step raises a screen that waits
// for the user: the screen's 8 does not erase it, and the next tick answers it by that screen's rule.
TEST(DispatchTest, QuitClickedWhileTheStepRaisesAWaitingScreenIsTakenNextTick) {
    struct Case {
        int32_t kind;
        bool asks;  // else it closes without a question
    };
    for (const Case c : {Case{4, true}, Case{2, false}, Case{5, false}, Case{6, false}, Case{10, false}}) {
        SCOPED_TRACE(c.kind);
        Harness h;
        h.session.state = 6;
        EXPECT_TRUE(h.manager.dispatchUserAction());
        h.session.quit();
        h.manager.showErrorScreen(c.kind, "the given text", true);
        EXPECT_FALSE(h.manager.dispatchUserAction());
        EXPECT_EQ(h.window.called("showQuitConfirmation"), c.asks);
        EXPECT_EQ(h.session.state, c.asks ? 6 : 17);
        EXPECT_EQ(h.session.userAction.load(), c.asks ? 8 : 0);
    }
}

struct ScreenCase {
    int32_t kind;
    bool waits;
    const char* call;
    const char* textPart;
    bool flag;
};

const ScreenCase kScreenCases[] = {
    {0, false, nullptr, nullptr, false},
    {1, true, "showProxyDialog", "Please provide your proxy server username and password", false},
    {2, true, "showFatalErrorScreen", "without successful proxy authentication", false},
    {4, true, "showWarningErrorScreen", "the given text", true},
    {5, true, "showFatalErrorScreen", "the given text", true},
    {6, true, "showFatalErrorScreen", "(Error code: A12E2)", true},
    {7, false, "showWarningErrorScreen", "Another installer is currently running", false},
    {8, false, "showWarningErrorScreen", "Another installer is currently running", false},
    {9, false, "showWarningErrorScreen", "Other instances of Morvane Studio Packager", false},
    {10, true, "showFatalErrorScreen", "minimum system requirements for this installer.  is the minimum", false},
};

TEST(ShowErrorScreenTest, EachKindShowsItsScreenAndWaitsFirst) {
    for (const ScreenCase& c : kScreenCases) {
        SCOPED_TRACE(c.kind);
        Harness h;
        h.manager.showErrorScreen(c.kind, "the given text", true);
        EXPECT_EQ(h.session.errorKind, c.kind);
        EXPECT_EQ(h.session.userAction.load(), c.waits ? 8 : 0);
        if (c.call == nullptr) {
            EXPECT_TRUE(h.window.calls.empty());
            continue;
        }
        ASSERT_EQ(h.window.calls.size(), 1u);
        const test_support::RecordedCall& call = h.window.calls[0];
        EXPECT_EQ(call.name, c.call);
        EXPECT_NE(call.text.find(c.textPart), std::string::npos) << call.text;
        EXPECT_EQ(call.flag, c.flag);
        // The sheet blocks: an 8 stored after it would erase the answer.
        EXPECT_EQ(call.userActionAtCall, c.waits ? 8 : 0);
    }
}

TEST(ShowErrorScreenTest, FatalKindKeepsLinkAsGiven) {
    Harness h;
    h.manager.showErrorScreen(5, "no link here", false);
    ASSERT_EQ(h.window.calls.size(), 1u);
    EXPECT_FALSE(h.window.calls[0].flag);
}

}  // namespace
