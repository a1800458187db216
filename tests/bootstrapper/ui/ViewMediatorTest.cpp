// The view mediator: setters reach the session, forwarders reach the window unchanged or nothing.
#include "bootstrapper/ui/ViewMediator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bootstrapper/support/ZORUtils.h"
#include "bootstrapper/ui/UserActionSink.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "tests/bootstrapper/ui/HeadlessWindow.h"
#include "tests/bootstrapper/ui/LocalizedResources.h"
#include "tests/bootstrapper/ui/RecordingActionSink.h"

namespace {

using RecordingSink = test_support::RecordingActionSink;

struct Wired {
    Wired() : window(mediator) {
        mediator.setSession(&sink);
        mediator.setViewHandles(&handles);
        handles.controller = &window;
    }
    RecordingSink sink;
    ZORViewHandles handles;
    ViewMediator mediator;
    test_support::HeadlessWindow window;
};

std::vector<std::string> callLine(const test_support::WindowCall& call) {
    std::vector<std::string> line{call.name};
    line.insert(line.end(), call.arguments.begin(), call.arguments.end());
    return line;
}

TEST(ViewMediator, SettersReachTheSessionWithTheirArguments) {
    const std::vector<std::pair<std::function<void(ViewMediator&)>, std::string>> cases = {
        {[](ViewMediator& m) { m.quit(); }, "quit"},
        {[](ViewMediator& m) { m.submitCredentials("ユーザー", "p a=ss&"); }, "submit ユーザー p a=ss&"},
        {[](ViewMediator& m) { m.submitCredentials("", ""); }, "submit  "},
        {[](ViewMediator& m) { m.cancelCredentials(); }, "cancel"},
        {[](ViewMediator& m) { m.retry(); }, "retry"},
        {[](ViewMediator& m) { m.confirmQuit(); }, "confirmQuit"},
        {[](ViewMediator& m) { m.rejectQuit(); }, "rejectQuit"},
        {[](ViewMediator& m) { m.setRememberCredentials(true); }, "remember on"},
        {[](ViewMediator& m) { m.setRememberCredentials(false); }, "remember off"},
    };
    for (const auto& [call, expected] : cases) {
        Wired wired;
        call(wired.mediator);
        EXPECT_EQ(wired.sink.actions(), std::vector<std::string>{expected});
        // A setter never reaches the window.
        EXPECT_TRUE(wired.window.calls().empty()) << expected;
    }
}

TEST(ViewMediator, ForwardersPassTheirArgumentsUnchanged) {
    using Line = std::vector<std::string>;
    const std::vector<std::pair<std::function<void(ViewMediator&)>, Line>> cases = {
        {[](ViewMediator& m) { m.closeUI(); }, {"closeUI"}},
        {[](ViewMediator& m) { m.enableQuitButton(false); }, {"enableQuitButton", "false"}},
        {[](ViewMediator& m) { m.updateProgressTitle("Téléchargement"); }, {"updateProgressTitle", "Téléchargement"}},
        {[](ViewMediator& m) { m.showWarningErrorScreen("w", true); }, {"showWarningErrorScreen", "w", "true"}},
        {[](ViewMediator& m) { m.showProgressScreen("", false); }, {"showProgressScreen", "", "false"}},
        {[](ViewMediator& m) { m.updateProgressPercent(37.25f); }, {"updateProgressPercent", "37.25"}},
        {[](ViewMediator& m) { m.showButton2(true); }, {"showButton2", "true"}},
        {[](ViewMediator& m) { m.showFatalErrorScreen("f", true); }, {"showFatalErrorScreen", "f", "true", "false"}},
    };
    for (const auto& [call, expected] : cases) {
        Wired wired;
        call(wired.mediator);
        const auto calls = wired.window.calls();
        ASSERT_EQ(calls.size(), 1u) << expected.front();
        EXPECT_EQ(callLine(calls.front()), expected);
        EXPECT_TRUE(wired.sink.actions().empty()) << expected.front();
    }
}

TEST(ViewMediator, FatalScreenFocusesTheSecondButtonOnlyInMode1) {
    for (int32_t mode : {0, 1, 2, -1}) {
        Wired wired;
        wired.handles.button2Mode = mode;
        wired.mediator.showFatalErrorScreen("f", false);
        const auto calls = wired.window.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls.front().arguments.at(2), mode == 1 ? "true" : "false") << mode;
    }
}

TEST(ViewMediator, Mode1TitlesTheSecondButtonDownloadAndOtherModesLeaveIt) {
    for (int32_t mode : {0, 1, 2}) {
        Wired wired;
        wired.mediator.setButton2Mode(mode);
        EXPECT_EQ(wired.mediator.getButton2Mode(), mode);
        EXPECT_EQ(wired.handles.button2Mode.load(), mode);
        EXPECT_EQ(wired.window.callCount("setButton2Text"), mode == 1 ? 1u : 0u) << mode;
    }

    // Result 503's order: mode 1, show, then the fatal screen; the button reads "Download" and
    // has the focus.
    Wired wired;
    wired.mediator.setButton2Mode(1);
    wired.mediator.showButton2(true);
    wired.mediator.showFatalErrorScreen("sign check failed", false);
    const auto calls = wired.window.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(callLine(calls[0]), (std::vector<std::string>{"setButton2Text", "Download"}));
    const ScreenModel model = wired.window.model();
    EXPECT_TRUE(model.retryVisible());
    EXPECT_EQ(model.retryText(), "Download");
    EXPECT_EQ(model.focus(), ScreenModel::Control::RetryButton);
    EXPECT_FALSE(model.linkVisible());
}

TEST(ViewMediator, DownloadTextComesFromTheDictionary) {
    test_support::TemporaryEnvironment environment;
    test_support::LocalizedResources resources("fr_FR", {{"/ZOR/DownloadButton", u"&Télécharger"}});
    ZORUtils utils;
    ASSERT_TRUE(utils.loadDictionary(test_support::FixedUserLanguages("fr_FR")));
    Wired wired;
    wired.mediator.setUtils(&utils);
    wired.mediator.setButton2Mode(1);
    const auto calls = wired.window.calls();
    ASSERT_EQ(calls.size(), 1u);
    // The text goes as the dictionary gives it; the window removes the mark.
    EXPECT_EQ(callLine(calls[0]), (std::vector<std::string>{"setButton2Text", "&Télécharger"}));
    EXPECT_EQ(wired.window.model().retryText(), "Télécharger");
}

TEST(ViewMediator, WithoutWindowOrSessionNothingHappens) {
    ViewMediator bare;
    bare.quit();
    bare.submitCredentials("u", "p");
    bare.closeUI();
    bare.showQuitConfirmation();
    bare.showProxyDialog("t", "u", "p");
    bare.setButton2Mode(1);
    EXPECT_EQ(bare.getButton2Mode(), 0);

    // Handles without a controller: the mode is still kept, the blocking calls return at once.
    RecordingSink sink;
    ZORViewHandles handles;
    ViewMediator mediator;
    mediator.setSession(&sink);
    mediator.setViewHandles(&handles);
    mediator.setButton2Mode(1);
    EXPECT_EQ(mediator.getButton2Mode(), 1);
    mediator.showQuitConfirmation();
    mediator.showProxyDialog("t", "u", "p");
    mediator.showFatalErrorScreen("f", true);
    EXPECT_TRUE(sink.actions().empty());
}

}  // namespace
