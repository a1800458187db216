// The screen rules as call sequences: what each sequence of window calls leaves shown.
#include "bootstrapper/ui/ScreenModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using Screen = ScreenModel::Screen;
using Dialog = ScreenModel::Dialog;
using Control = ScreenModel::Control;
using Call = std::function<void(ScreenModel&)>;

Call progress(std::string title, bool quitEnabled) {
    return [=](ScreenModel& m) { m.applyShowProgressScreen(title, quitEnabled); };
}
Call warning(std::string text, bool showRetry) {
    return [=](ScreenModel& m) { m.applyShowWarningErrorScreen(text, showRetry); };
}
Call fatal(std::string text, bool showLink, bool focusSecond = false) {
    return [=](ScreenModel& m) { m.applyShowFatalErrorScreen(text, showLink, focusSecond); };
}
Call quitButton(bool enabled) {
    return [=](ScreenModel& m) { m.applyEnableQuitButton(enabled); };
}
Call percent(float value) {
    return [=](ScreenModel& m) { m.applyUpdateProgressPercent(value); };
}
Call title(std::string text) {
    return [=](ScreenModel& m) { m.applyUpdateProgressTitle(text); };
}
Call button2(bool show) {
    return [=](ScreenModel& m) { m.applyShowButton2(show); };
}
Call button2Text(std::string text) {
    return [=](ScreenModel& m) { m.applySetButton2Text(text); };
}
Call sheet() {
    return [](ScreenModel& m) { m.applyShowProxyDialog("ignored title", "ignored user", "ignored password"); };
}
Call question() {
    return [](ScreenModel& m) { m.applyShowQuitConfirmation(); };
}
Call answered() {
    return [](ScreenModel& m) { m.closeDialog(); };
}
Call closeUI() {
    return [](ScreenModel& m) { m.applyCloseUI(); };
}

// Only the fields a case names are checked.
struct Expected {
    std::optional<Screen> screen = std::nullopt;
    std::optional<std::string> title = std::nullopt;
    std::optional<float> percent = std::nullopt;
    std::optional<std::string> errorText = std::nullopt;
    std::optional<bool> progressBar = std::nullopt;
    std::optional<bool> errorTextVisible = std::nullopt;
    std::optional<bool> icons = std::nullopt;  // info and alert icon together
    std::optional<bool> retryVisible = std::nullopt;
    std::optional<bool> retryEnabled = std::nullopt;
    std::optional<std::string> retryText = std::nullopt;
    std::optional<bool> quitEnabled = std::nullopt;
    std::optional<bool> closeBox = std::nullopt;
    std::optional<bool> link = std::nullopt;
    std::optional<Control> focus = std::nullopt;
    std::optional<Dialog> dialog = std::nullopt;
    // Clicks the model takes; every control not listed must be refused.
    std::optional<std::vector<Control>> clickable = std::nullopt;
};

struct Sequence {
    const char* name;
    std::vector<Call> calls;
    Expected expected;
};

WindowTexts testTexts() {
    WindowTexts texts = WindowTexts::defaults();
    texts.installPackage = "first title";
    texts.issuesHeading = "issues heading";
    texts.retryButton = "Retry";
    return texts;
}

void check(const Sequence& sequence) {
    SCOPED_TRACE(sequence.name);
    ScreenModel model(testTexts());
    for (const auto& call : sequence.calls) call(model);
    const Expected& e = sequence.expected;
    SCOPED_TRACE(model.toJson());
    if (e.screen) {
        EXPECT_EQ(model.screen(), *e.screen);
    }
    if (e.title) {
        EXPECT_EQ(model.title(), *e.title);
    }
    if (e.percent) {
        EXPECT_FLOAT_EQ(model.percent(), *e.percent);
    }
    if (e.errorText) {
        EXPECT_EQ(model.errorText(), *e.errorText);
    }
    if (e.progressBar) {
        EXPECT_EQ(model.progressBarVisible(), *e.progressBar);
    }
    if (e.errorTextVisible) {
        EXPECT_EQ(model.errorTextVisible(), *e.errorTextVisible);
    }
    if (e.icons) {
        EXPECT_EQ(model.infoIconVisible(), *e.icons);
        EXPECT_EQ(model.alertIconShown(), *e.icons);
    }
    if (e.retryVisible) {
        EXPECT_EQ(model.retryVisible(), *e.retryVisible);
    }
    if (e.retryEnabled) {
        EXPECT_EQ(model.retryEnabled(), *e.retryEnabled);
    }
    if (e.retryText) {
        EXPECT_EQ(model.retryText(), *e.retryText);
    }
    if (e.quitEnabled) {
        EXPECT_EQ(model.quitEnabled(), *e.quitEnabled);
    }
    if (e.closeBox) {
        EXPECT_EQ(model.closeBoxEnabled(), *e.closeBox);
    }
    if (e.link) {
        EXPECT_EQ(model.linkVisible(), *e.link);
    }
    if (e.focus) {
        EXPECT_EQ(model.focus(), *e.focus);
    }
    if (e.dialog) {
        EXPECT_EQ(model.dialog(), *e.dialog);
    }
    if (e.clickable) {
        for (Control control : {Control::QuitButton, Control::RetryButton, Control::CloseBox, Control::Link,
                                Control::RememberCheckBox}) {
            bool listed = false;
            for (Control c : *e.clickable) listed = listed || c == control;
            EXPECT_EQ(model.acceptsClick(control), listed) << ScreenModel::controlName(control);
        }
    }
}

TEST(ScreenModel, StartsAsTheWindowIsLeftBeforeTheWorkerStarts) {
    check({"initial",
           {},
           {.screen = Screen::Progress,
            .title = "first title",
            .percent = 2.0f,
            .progressBar = true,
            .errorTextVisible = false,
            .icons = false,
            .retryVisible = false,
            .retryText = "Retry",
            .quitEnabled = true,
            .closeBox = false,
            .link = false,
            .dialog = Dialog::None,
            .clickable = std::vector<Control>{Control::QuitButton}}});
}

// The close box behaves as the quit button: after every call that sets quit's enabled state it
// has the same state, and a click on it is taken only then.
TEST(ScreenModel, CloseBoxFollowsQuitAfterEveryCallThatSetsIt) {
    const std::vector<Sequence> sequences = {
        {"enable quit", {quitButton(true)}, {.quitEnabled = true, .closeBox = true}},
        {"disable quit", {quitButton(true), quitButton(false)},
         {.quitEnabled = false, .closeBox = false, .clickable = std::vector<Control>{}}},
        {"progress screen with quit", {progress("t", true)}, {.quitEnabled = true, .closeBox = true}},
        {"progress screen without quit", {progress("t", true), progress("t", false)},
         {.quitEnabled = false, .closeBox = false, .clickable = std::vector<Control>{}}},
        {"warning enables quit", {quitButton(false), warning("w", false)},
         {.quitEnabled = true, .closeBox = true,
          .clickable = std::vector<Control>{Control::QuitButton, Control::CloseBox}}},
        {"fatal enables quit", {quitButton(false), fatal("f", false)}, {.quitEnabled = true, .closeBox = true}},
        // A resumed download (after retry on a warning) shows the progress screen with quit
        // disabled: the close box goes disabled with it, until the next step enables quit.
        {"download resumed after retry",
         {progress("Downloading", true), warning("failed", true), progress("Downloading", false)},
         {.screen = Screen::Progress, .title = "Downloading", .retryVisible = false, .quitEnabled = false,
          .closeBox = false, .clickable = std::vector<Control>{}}},
        {"download resumed, next step",
         {progress("Downloading", true), warning("failed", true), progress("Downloading", false),
          progress("", true)},
         {.title = "Downloading", .closeBox = true,
          .clickable = std::vector<Control>{Control::QuitButton, Control::CloseBox}}},
        // The install disables quit; its failure shows the fatal screen, from which the close
        // box must close the window again.
        {"install fails after quit was disabled",
         {progress("Installing", true), quitButton(false), percent(70.0f), fatal("install failed", false)},
         {.screen = Screen::Fatal, .title = "issues heading", .errorText = "install failed", .quitEnabled = true,
          .closeBox = true, .link = false, .focus = Control::QuitButton,
          .clickable = std::vector<Control>{Control::QuitButton, Control::CloseBox}}},
    };
    for (const auto& sequence : sequences) check(sequence);
}

TEST(ScreenModel, ProgressScreenKeepsTheShownTitleWhenGivenAnEmptyOne) {
    const std::vector<Sequence> sequences = {
        {"empty keeps the first title", {progress("", true)}, {.title = "first title"}},
        {"empty keeps a later title", {progress("Downloading", true), progress("", true)}, {.title = "Downloading"}},
        {"title update", {progress("Downloading", true), title("Installing")}, {.title = "Installing"}},
        // The warning's heading is what is shown, so an empty title after it keeps the heading.
        {"empty after a warning keeps the heading", {warning("w", true), progress("", true)},
         {.screen = Screen::Progress, .title = "issues heading", .progressBar = true, .errorTextVisible = false,
          .icons = false, .retryVisible = false, .link = false}},
    };
    for (const auto& sequence : sequences) check(sequence);
}

TEST(ScreenModel, PercentIsClampedAndNaNShowsZero) {
    struct Case {
        float input;
        float shown;
    };
    const Case cases[] = {
        {0.0f, 0.0f},
        {2.5f, 2.5f},
        {99.99f, 99.99f},
        {100.0f, 100.0f},
        {100.5f, 100.0f},
        {-0.5f, 0.0f},
        {-std::numeric_limits<float>::infinity(), 0.0f},
        {std::numeric_limits<float>::infinity(), 100.0f},
        {std::numeric_limits<float>::quiet_NaN(), 0.0f},
        {-std::numeric_limits<float>::quiet_NaN(), 0.0f},
    };
    for (const auto& c : cases) {
        ScreenModel model(testTexts());
        model.applyUpdateProgressPercent(50.0f);
        model.applyUpdateProgressPercent(c.input);
        EXPECT_FALSE(std::isnan(model.percent())) << c.input;
        EXPECT_FLOAT_EQ(model.percent(), c.shown) << c.input;
    }
}

TEST(ScreenModel, WarningShowsRetryPerItsFlagAndNeverTheLink) {
    const std::vector<Sequence> sequences = {
        {"warning with retry", {warning("Server said 404", true)},
         {.screen = Screen::Warning, .title = "issues heading", .errorText = "Server said 404",
          .progressBar = false, .errorTextVisible = true, .icons = true, .retryVisible = true, .link = false,
          .focus = Control::RetryButton,
          .clickable = std::vector<Control>{Control::QuitButton, Control::RetryButton, Control::CloseBox}}},
        // Retry visible = flag: a second button left from an earlier screen is hidden.
        {"warning without retry hides a shown second button", {button2(true), warning("w", false)},
         {.retryVisible = false, .focus = Control::QuitButton}},
        {"warning after a fatal screen with link", {fatal("f", true), warning("w", true)},
         {.screen = Screen::Warning, .link = false}},
    };
    for (const auto& sequence : sequences) check(sequence);
}

TEST(ScreenModel, FatalScreenLeavesRetryAsItWasAndShowsTheLinkOnlyWithItsFlag) {
    const std::vector<Sequence> sequences = {
        {"fatal with link", {fatal("f", true)},
         {.screen = Screen::Fatal, .title = "issues heading", .errorText = "f", .progressBar = false,
          .errorTextVisible = true, .icons = true, .retryVisible = false, .link = true, .focus = Control::QuitButton,
          .clickable = std::vector<Control>{Control::QuitButton, Control::CloseBox, Control::Link}}},
        {"fatal without link", {fatal("f", false)}, {.link = false}},
        {"fatal after a warning with retry keeps retry", {warning("w", true), fatal("f", false)},
         {.screen = Screen::Fatal, .retryVisible = true, .link = false}},
        {"fatal after a warning without retry keeps it hidden", {warning("w", false), fatal("f", true)},
         {.retryVisible = false, .link = true}},
        // Result 503: title, show, then the fatal screen with the focus on the second button.
        {"support download button", {button2Text("&Download"), button2(true), fatal("sign check failed", false, true)},
         {.screen = Screen::Fatal, .retryVisible = true, .retryEnabled = true, .retryText = "Download",
          .focus = Control::RetryButton}},
        {"focus on the second button needs it shown", {fatal("f", false, true)}, {.focus = Control::QuitButton}},
        {"progress screen hides link, retry and icons", {button2(true), fatal("f", true), progress("", true)},
         {.screen = Screen::Progress, .progressBar = true, .errorTextVisible = false, .icons = false,
          .retryVisible = false, .link = false}},
    };
    for (const auto& sequence : sequences) check(sequence);
}

TEST(ScreenModel, ClicksOnTheWindowAreIgnoredWhileADialogIsUp) {
    const std::vector<Sequence> sequences = {
        {"sheet over a warning", {warning("w", true), sheet()},
         {.dialog = Dialog::ProxySheet, .clickable = std::vector<Control>{Control::RememberCheckBox}}},
        {"question over the download", {progress("Downloading", true), question()},
         {.dialog = Dialog::QuitQuestion, .clickable = std::vector<Control>{}}},
        {"question answered", {progress("Downloading", true), question(), answered()},
         {.dialog = Dialog::None, .clickable = std::vector<Control>{Control::QuitButton, Control::CloseBox}}},
        {"question over a fatal screen with link", {fatal("f", true), question()},
         {.clickable = std::vector<Control>{}}},
        {"nothing after the window closed", {warning("w", true), closeUI()},
         {.clickable = std::vector<Control>{}}},
    };
    for (const auto& sequence : sequences) check(sequence);
}

TEST(ScreenModel, SheetKeepsItsFieldsAndCheckBoxBetweenShowings) {
    ScreenModel model(testTexts());
    model.applyShowProxyDialog("a", "b", "c");
    model.setSheetFields("user", "secret");
    model.setRememberChecked(true);
    model.closeDialog();
    model.applyShowWarningErrorScreen("w", true);
    model.applyShowProxyDialog("", "", "");
    EXPECT_EQ(model.dialog(), Dialog::ProxySheet);
    EXPECT_EQ(model.sheetUser(), "user");
    EXPECT_EQ(model.sheetPassword(), "secret");
    EXPECT_TRUE(model.rememberChecked());
    // Traces show the fields' lengths only.
    EXPECT_EQ(model.toJson().find("secret"), std::string::npos);
    EXPECT_NE(model.toJson().find("\"sheetPasswordLength\":6"), std::string::npos);
}

TEST(ScreenModel, AcceleratorMarksAreRemovedFromButtonTitles) {
    struct Case {
        const char* text;
        const char* shown;
    };
    const Case cases[] = {
        {"&Quit", "Quit"},
        {"&Quitter", "Quitter"},
        {"終了(&Q)", "終了"},
        {"Retry", "Retry"},
        {"", ""},
        {"Save && Quit", "Save  Quit"},
        // "(&" with no ")" after it: the span is undefined, so every mark goes.
        {"中止(&C", "中止(C"},
        {"x) (&a &b", "x) (a b"},
        // Only the span from the first "(&" to the first ")" after it.
        {"A(&B)C(&D)", "AC(&D)"},
        {"(&)", ""},
        {"a_b", "a_b"},
        {"R&etry (&R)", "R&etry "},
    };
    for (const auto& c : cases) EXPECT_EQ(ScreenModel::removeHotKeyAccelerator(c.text), c.shown) << c.text;

    ScreenModel model(testTexts());
    model.applySetButton2Text("ダウンロード(&D)");
    EXPECT_EQ(model.retryText(), "ダウンロード");
}

TEST(ScreenModel, TraceNamesTheShownStateAndEscapesTexts) {
    ScreenModel model(testTexts());
    model.applyShowWarningErrorScreen("say \"hi\"\\\n\x01", true);
    const std::string json = model.toJson();
    EXPECT_NE(json.find("\"screen\":\"warning\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"errorText\":\"say \\\"hi\\\"\\\\\\n\\u0001\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"closeBox\":true"), std::string::npos) << json;
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
}

}  // namespace
