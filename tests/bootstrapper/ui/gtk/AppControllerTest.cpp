// The GTK window driven from a thread standing in for the worker, with a real view mediator and a
// recording session, under a private X server; input comes through xdotool and X close requests.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/support/ZORUtils.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/WindowTexts.h"
#include "bootstrapper/ui/ZORViewHandles.h"
#include "bootstrapper/ui/gtk/AppController.h"
#include "bootstrapper/ui/gtk/GtkScreen.h"
#include "tests/bootstrapper/ui/LocalizedResources.h"
#include "tests/bootstrapper/ui/gtk/GtkTestEnvironment.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

using gtk_test::suite;

class AppControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!suite().ready) GTEST_SKIP() << suite().skipReason;
        folder_ = test_support::makeTemporaryFolder("bootstrapper-gtk-case");
        trace_ = std::make_unique<gtk_test::TraceReader>(folder_ + "/trace.jsonl");
        screenshots_ = folder_ + "/screens";
        ::mkdir(screenshots_.c_str(), 0700);
        mediator_.setSession(&sink_);
        mediator_.setViewHandles(&handles_);
    }

    void TearDown() override {
        if (controller_) {
            controller_->closeDispatcher();
            joinWorker();
            controller_->disconnectHandlers();
            handles_.controller = nullptr;
            controller_.reset();
            while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
        }
        joinWorker();
        if (!folder_.empty()) test_support::removeTree(folder_);
        EXPECT_EQ(gtk_test::takeGtkProblems(), "") << "GTK logged criticals or warnings";
    }

    // Builds and shows the window; waits until its first frame is traced.
    void open(WindowTexts texts = WindowTexts::defaults(), bool capture = false) {
        installGtkScreenResolutionHook();
        AppController::Options options;
        options.highDPIScreen = isHighDPIScreen();
        options.quitLoop = [this] { ++loopQuits_; };
        options.tracePath = trace_->path();
        if (capture) options.screenshotFolder = screenshots_;
        options.readEnvironment = false;
        std::string error;
        controller_ = AppController::create(mediator_, texts, std::move(options), error);
        ASSERT_TRUE(controller_) << error;
        handles_.controller = controller_.get();
        controller_->initZorUI();
        const auto first = trace_->waitFor({"\"call\":\"initZorUI\""});
        ASSERT_TRUE(first) << trace_->text();
        mainXid_ = gtk_test::tracedWindow(*first, "main");
        ASSERT_NE(mainXid_, "0");
    }

    // Runs calls on a thread of their own, as the worker would; one at a time.
    void onWorker(std::function<void()> calls) {
        joinWorker();
        workerDone_ = false;
        worker_ = std::thread([this, calls = std::move(calls)] {
            calls();
            workerDone_ = true;
        });
    }
    bool waitForWorker() {
        return gtk_test::pumpUntil([this] { return workerDone_.load(); });
    }
    void joinWorker() {
        if (worker_.joinable()) {
            gtk_test::pumpUntil([this] { return workerDone_.load(); });
            worker_.join();
        }
    }
    std::string waitLine(const std::vector<std::string>& needles) {
        const auto line = trace_->waitFor(needles);
        EXPECT_TRUE(line) << "no trace line with " << needles.front() << "\n" << trace_->text();
        return line.value_or("");
    }
    GtkWidget* outlet(const char* name) { return controller_->outlet(name); }
    std::string buttonLabel(const char* name) {
        const gchar* label = gtk_button_get_label(GTK_BUTTON(outlet(name)));
        return label != nullptr ? label : "";
    }

    // Every widget shows what the model says.
    void expectWidgetsMirrorModel(const std::string& step) {
        SCOPED_TRACE(step);
        const ScreenModel& m = controller_->model();
        auto visible = [&](const char* name) { return gtk_widget_get_visible(outlet(name)) == TRUE; };
        EXPECT_EQ(gtk_label_get_text(GTK_LABEL(outlet("pctLabel"))), m.title());
        EXPECT_EQ(visible("progressBar"), m.progressBarVisible());
        EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(outlet("progressBar"))),
                         ScreenModel::clampPercent(m.percent()) / 100.0);
        EXPECT_EQ(visible("errorMessageLabel"), m.errorTextVisible());
        EXPECT_EQ(gtk_label_get_text(GTK_LABEL(outlet("errorMessageLabel"))), m.errorText());
        EXPECT_EQ(visible("infoIcon"), m.infoIconVisible());
        EXPECT_EQ(visible("alertIcon"), m.alertIconShown());
        EXPECT_EQ(visible("retryButton"), m.retryVisible());
        EXPECT_EQ(gtk_widget_get_sensitive(outlet("retryButton")) == TRUE, m.retryEnabled());
        EXPECT_EQ(buttonLabel("retryButton"), m.retryText());
        EXPECT_EQ(visible("quitButton"), m.quitVisible());
        EXPECT_EQ(gtk_widget_get_sensitive(outlet("quitButton")) == TRUE, m.quitEnabled());
        EXPECT_EQ(gtk_window_get_deletable(GTK_WINDOW(outlet("mainWindow"))) == TRUE, m.closeBoxEnabled());
        EXPECT_EQ(visible("zsaHyperlink"), m.linkVisible());
        EXPECT_EQ(visible("authDialogSheet"), m.dialog() == ScreenModel::Dialog::ProxySheet);
    }

    std::string folder_;
    std::string screenshots_;
    std::unique_ptr<gtk_test::TraceReader> trace_;
    gtk_test::RecordingSink sink_;
    ZORViewHandles handles_;
    ViewMediator mediator_;
    std::unique_ptr<AppController> controller_;
    std::string mainXid_;
    std::thread worker_;
    std::atomic<bool> workerDone_{true};
    int loopQuits_ = 0;
};

TEST_F(AppControllerTest, WidgetsMirrorTheModelThroughEveryScreen) {
    ASSERT_NO_FATAL_FAILURE(open());
    expectWidgetsMirrorModel("initZorUI");
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(outlet("progressBar"))), 0.02);
    EXPECT_FALSE(gtk_window_get_deletable(GTK_WINDOW(outlet("mainWindow"))));
    EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(outlet("mainWindow"))), std::string("Morvane Studio Packager"));
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(outlet("mainWindow"))));
    for (GtkWidget* dialog : {outlet("authDialogSheet"), controller_->questionDialog()}) {
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(outlet("mainWindow")));
    }

    struct Step {
        const char* name;
        std::function<void(IBootstrapWindow&)> call;
        const char* traced;  // the call name its trace line carries
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Step> steps = {
        {"progress, quit enabled", [](IBootstrapWindow& w) { w.showProgressScreen("Downloading", true); },
         "showProgressScreen"},
        {"percent 40", [](IBootstrapWindow& w) { w.updateProgressPercent(40.0f); }, "updateProgressPercent"},
        {"percent above 100", [](IBootstrapWindow& w) { w.updateProgressPercent(250.0f); }, "updateProgressPercent"},
        {"percent NaN", [nan](IBootstrapWindow& w) { w.updateProgressPercent(nan); }, "updateProgressPercent"},
        {"warning with retry", [](IBootstrapWindow& w) { w.showWarningErrorScreen("No network", true); },
         "showWarningErrorScreen"},
        {"warning without retry hides it",
         [](IBootstrapWindow& w) { w.showWarningErrorScreen("Still no network", false); }, "showWarningErrorScreen"},
        {"progress with quit disabled", [](IBootstrapWindow& w) { w.showProgressScreen("", false); },
         "showProgressScreen"},
        {"fatal with link", [](IBootstrapWindow& w) { w.showFatalErrorScreen("Broken", true, false); },
         "showFatalErrorScreen"},
        {"quit disabled", [](IBootstrapWindow& w) { w.enableQuitButton(false); }, "enableQuitButton"},
        {"fatal without link", [](IBootstrapWindow& w) { w.showFatalErrorScreen("Broken again", false, false); },
         "showFatalErrorScreen"},
        {"title", [](IBootstrapWindow& w) { w.updateProgressTitle("Installing"); }, "updateProgressTitle"},
    };
    // One fixed layout: an outlet, wherever it is shown, always has the same rectangle.
    std::map<std::string, std::array<int, 4>> places;
    for (const Step& step : steps) {
        onWorker([this, &step] { step.call(*controller_); });
        ASSERT_TRUE(waitForWorker());
        const std::string line = waitLine({std::string("\"call\":\"") + step.traced + "\""});
        expectWidgetsMirrorModel(step.name);
        // What the trace says is what the widgets show.
        EXPECT_NE(line.find(controller_->model().toJson()), std::string::npos) << step.name;
        for (const std::string& name : AppController::outletNames()) {
            const auto rect = gtk_test::tracedRect(line, name);
            if (!rect) continue;
            const auto [place, first] = places.emplace(name, *rect);
            EXPECT_TRUE(first || place->second == *rect) << name << " moved at " << step.name;
        }
    }
    for (const char* name :
         {"pctLabel", "progressBar", "errorMessageLabel", "alertIcon", "quitButton", "retryButton", "zsaHyperlink"}) {
        EXPECT_EQ(places.count(name), 1u) << name << " was never shown";
    }
    EXPECT_TRUE(sink_.actions().empty());
}

TEST_F(AppControllerTest, EscOnTheSheetTwiceAnswersCancelEachTimeAndTheSheetKeepsItsFields) {
    ASSERT_NO_FATAL_FAILURE(open());
    GtkWidget* sheet = outlet("authDialogSheet");
    for (int showing = 1; showing <= 2; ++showing) {
        SCOPED_TRACE("showing " + std::to_string(showing));
        onWorker([this] { controller_->showProxyDialog("ignored title", "ignored user", "ignored password"); });
        const std::string shown = waitLine({"\"event\":\"call\"", "\"call\":\"showProxyDialog\""});
        const std::string sheetXid = gtk_test::tracedWindow(shown, "sheet");
        ASSERT_NE(sheetXid, "0");
        // The fixed texts, never the call's labels.
        EXPECT_EQ(gtk_label_get_text(GTK_LABEL(outlet("authDialogUsernameLabel"))), std::string("Username"));
        EXPECT_FALSE(gtk_entry_get_visibility(GTK_ENTRY(outlet("authDialogPasswordText"))));
        if (showing == 1) {
            ASSERT_EQ(gtk_test::typeText(sheetXid, "alice"), 0);
        }
        ASSERT_EQ(gtk_test::pressKey(sheetXid, "Escape"), 0);
        ASSERT_TRUE(waitForWorker()) << "the worker still waits after Esc";
        waitLine({"\"event\":\"dialog\"", "\"answer\":\"cancel\"", "\"how\":\"escape\"", "\"code\":4"});
        EXPECT_EQ(outlet("authDialogSheet"), sheet) << "the sheet was replaced";
        EXPECT_TRUE(GTK_IS_DIALOG(sheet));
        EXPECT_FALSE(gtk_widget_get_visible(sheet));
        EXPECT_EQ(gtk_entry_get_text(GTK_ENTRY(outlet("authDialogUsernameText"))), std::string("alice"));
        EXPECT_EQ(controller_->model().dialog(), ScreenModel::Dialog::None);
    }
    EXPECT_EQ(sink_.actions(), (std::vector<std::string>{"cancel", "cancel"}));
}

// A window manager's close of the sheet answers Cancel and leaves the sheet alive (GtkDialog
// would destroy it); a close request to the main window under the sheet posts nothing.
TEST_F(AppControllerTest, WindowManagerClosesAnswerCancelAndNoAndTheDialogsSurvive) {
    ASSERT_NO_FATAL_FAILURE(open());
    const std::string closer = suite().closeRequestTool;
    onWorker([this] { controller_->showProgressScreen("Downloading", true); });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"showProgressScreen\""});
    ASSERT_TRUE(controller_->model().closeBoxEnabled());

    GtkWidget* sheet = outlet("authDialogSheet");
    std::string sheetXid;
    for (int showing = 1; showing <= 2; ++showing) {
        SCOPED_TRACE("showing " + std::to_string(showing));
        onWorker([this] { controller_->showProxyDialog("t", "u", "p"); });
        const std::string shown = waitLine({"\"call\":\"showProxyDialog\""});
        if (showing == 2) {
            EXPECT_EQ(gtk_test::tracedWindow(shown, "sheet"), sheetXid) << "the sheet's window was replaced";
        }
        sheetXid = gtk_test::tracedWindow(shown, "sheet");
        if (showing == 1) {
            // Blocked by the modal sheet: GTK drops it, nothing reaches the mediator.
            ASSERT_EQ(gtk_test::runPumping({closer, mainXid_}), 0);
        }
        ASSERT_EQ(gtk_test::runPumping({closer, sheetXid}), 0);
        ASSERT_TRUE(waitForWorker());
        waitLine({"\"dialog\":\"sheet\"", "\"answer\":\"cancel\"", "\"how\":\"window-manager\"", "\"code\":4"});
        EXPECT_EQ(outlet("authDialogSheet"), sheet);
        EXPECT_TRUE(GTK_IS_DIALOG(sheet));
        EXPECT_FALSE(gtk_widget_get_visible(sheet));
    }

    onWorker([this] { controller_->showQuitConfirmation(); });
    const std::string question = waitLine({"\"call\":\"showQuitConfirmation\""});
    ASSERT_EQ(gtk_test::runPumping({closer, gtk_test::tracedWindow(question, "question")}), 0);
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"dialog\":\"question\"", "\"answer\":\"no\"", "\"how\":\"window-manager\"", "\"code\":7"});
    EXPECT_TRUE(GTK_IS_DIALOG(controller_->questionDialog()));
    EXPECT_EQ(sink_.actions(), (std::vector<std::string>{"cancel", "cancel", "rejectQuit"}));
    EXPECT_EQ(trace_->text().find("\"event\":\"close\""), std::string::npos) << "a close reached the main window";
}

TEST_F(AppControllerTest, ContinueSubmitsTheTypedCredentialsAndTheTraceNeverHoldsThem) {
    ASSERT_NO_FATAL_FAILURE(open());
    onWorker([this] { controller_->showProxyDialog("t", "u", "p"); });
    const std::string shown = waitLine({"\"call\":\"showProxyDialog\""});
    const std::string sheetXid = gtk_test::tracedWindow(shown, "sheet");
    ASSERT_EQ(gtk_test::typeText(sheetXid, "bob"), 0);
    const auto password = gtk_test::tracedRect(shown, "authDialogPasswordText");
    const auto remember = gtk_test::tracedRect(shown, "rememberCredentialsCheckBox");
    ASSERT_TRUE(password && remember) << shown;
    ASSERT_EQ(gtk_test::clickAt(*password), 0);
    ASSERT_EQ(gtk_test::typeText(sheetXid, "s3cretword"), 0);
    ASSERT_EQ(gtk_test::clickAt(*remember), 0);
    waitLine({"\"event\":\"toggle\"", "\"active\":true"});
    // Enter answers the default button, Continue.
    ASSERT_EQ(gtk_test::pressKey(sheetXid, "Return"), 0);
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"answer\":\"continue\"", "\"code\":3"});
    EXPECT_EQ(sink_.actions(), (std::vector<std::string>{"remember on", "submit bob s3cretword"}));
    EXPECT_TRUE(controller_->model().rememberChecked());
    const std::string trace = trace_->text();
    EXPECT_EQ(trace.find("s3cretword"), std::string::npos);
    EXPECT_EQ(trace.find("\"bob"), std::string::npos);
}

TEST_F(AppControllerTest, EscOnTheQuitQuestionAnswersNoAndEnterOrYesConfirms) {
    ASSERT_NO_FATAL_FAILURE(open());
    onWorker([this] { controller_->showQuitConfirmation(); });
    std::string shown = waitLine({"\"call\":\"showQuitConfirmation\""});
    std::string questionXid = gtk_test::tracedWindow(shown, "question");
    ASSERT_NE(questionXid, "0");
    EXPECT_NE(shown.find("\"questionYesButton\":\"Yes\""), std::string::npos) << shown;
    ASSERT_EQ(gtk_test::pressKey(questionXid, "Escape"), 0);
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"dialog\":\"question\"", "\"answer\":\"no\"", "\"how\":\"escape\"", "\"code\":7"});

    // Enter answers the default button, Yes.
    onWorker([this] { controller_->showQuitConfirmation(); });
    shown = waitLine({"\"call\":\"showQuitConfirmation\""});
    ASSERT_EQ(gtk_test::pressKey(gtk_test::tracedWindow(shown, "question"), "Return"), 0);
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"dialog\":\"question\"", "\"answer\":\"yes\"", "\"code\":6"});

    onWorker([this] { controller_->showQuitConfirmation(); });
    shown = waitLine({"\"call\":\"showQuitConfirmation\""});
    const auto yes = gtk_test::tracedRect(shown, "questionYesButton");
    ASSERT_TRUE(yes) << shown;
    ASSERT_EQ(gtk_test::clickAt(*yes), 0);
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"answer\":\"yes\"", "\"how\":\"button\"", "\"code\":6"});
    EXPECT_EQ(sink_.actions(), (std::vector<std::string>{"rejectQuit", "confirmQuit", "confirmQuit"}));
}

// Result 503: the second button titled, shown, then the fatal screen focusing it.
TEST_F(AppControllerTest, TheDownloadOrderShowsTheSecondButtonTitledAndFocused) {
    ASSERT_NO_FATAL_FAILURE(open());
    onWorker([this] {
        mediator_.setButton2Mode(1);  // no dictionary: the key's default text, "Download"
        mediator_.showButton2(true);
        mediator_.showFatalErrorScreen("The product needs a newer system", true);
    });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"showFatalErrorScreen\"", "\"focusSecondButton\":true"});
    GtkWidget* retry = outlet("retryButton");
    EXPECT_TRUE(gtk_widget_get_visible(retry));
    EXPECT_EQ(buttonLabel("retryButton"), "Download");
    EXPECT_TRUE(gtk_widget_is_focus(retry));
    expectWidgetsMirrorModel("after 503");
}

// Titles lose their accelerator mark; a "_" stays literal, since mnemonics are off.
TEST_F(AppControllerTest, ButtonTitlesLoseTheirAcceleratorAndKeepUnderscores) {
    struct Case {
        std::string locale;  // the built table's quit title; empty: the text goes through setButton2Text
        std::string text;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"en_US", "", "Quit"},        {"fr_FR", "", "Quitter"},  {"ja_JP", "", "終了"},  {"", "&Retry", "Retry"},
        {"", "再試行(&R)", "再試行"}, {"", "Re(&try", "Re(try"}, {"", "_Quit", "_Quit"}, {"", "A_&B", "A_B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale + " " + c.text);
        if (!c.locale.empty()) {
            ZORUtils utils;
            ASSERT_TRUE(utils.loadDictionary(test_support::FixedUserLanguages(c.locale)));
            ASSERT_NO_FATAL_FAILURE(open(WindowTexts::resolve(&utils)));
            EXPECT_EQ(buttonLabel("quitButton"), c.shown);
        } else {
            ASSERT_NO_FATAL_FAILURE(open());
            onWorker([this, text = c.text] {
                controller_->setButton2Text(text);
                controller_->showButton2(true);
            });
            ASSERT_TRUE(waitForWorker());
            waitLine({"\"call\":\"showButton2\""});
            EXPECT_EQ(buttonLabel("retryButton"), c.shown);
            EXPECT_FALSE(gtk_button_get_use_underline(GTK_BUTTON(outlet("retryButton"))));
        }
        EXPECT_FALSE(gtk_button_get_use_underline(GTK_BUTTON(outlet("quitButton"))));
        controller_->closeDispatcher();
        controller_.reset();
        handles_.controller = nullptr;
    }
}

// The dialogs' buttons are titled without mnemonics too: a "_" in a translation shows as it is.
TEST_F(AppControllerTest, DialogButtonsKeepUnderscoresLiteral) {
    WindowTexts texts = WindowTexts::defaults();
    texts.yesButton = "_Yes";
    texts.noButton = "N_o";
    texts.submitButton = "Go_on";
    texts.cancelButton = "_Stop_";
    ASSERT_NO_FATAL_FAILURE(open(texts));
    GtkDialog* question = GTK_DIALOG(controller_->questionDialog());
    const std::vector<std::pair<GtkWidget*, std::string>> cases = {
        {gtk_dialog_get_widget_for_response(question, GTK_RESPONSE_YES), texts.yesButton},
        {gtk_dialog_get_widget_for_response(question, GTK_RESPONSE_NO), texts.noButton},
        {outlet("authDialogSubmitButton"), texts.submitButton},
        {outlet("authDialogCancelButton"), texts.cancelButton},
    };
    for (const auto& [button, shown] : cases) {
        SCOPED_TRACE(shown);
        ASSERT_TRUE(GTK_IS_BUTTON(button));
        EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(button)), shown);
        EXPECT_FALSE(gtk_button_get_use_underline(GTK_BUTTON(button)));
    }
    // As the question shows them.
    onWorker([this] { controller_->showQuitConfirmation(); });
    const std::string line = waitLine({"\"call\":\"showQuitConfirmation\""});
    EXPECT_NE(line.find("\"questionNoButton\":\"N_o\""), std::string::npos) << line;
    gtk_dialog_response(question, GTK_RESPONSE_NO);
    ASSERT_TRUE(waitForWorker());
}

TEST_F(AppControllerTest, TheLinkShowsItsTextLiterallyAndAClickOpensTheExactAddress) {
    WindowTexts texts = WindowTexts::defaults();
    texts.linkText = "Help & <b>support</b> \"here\"";
    texts.linkAddress = "https://support.zarvo.example/a?b=1&c=<2>&d=\"q\"";
    ASSERT_NO_FATAL_FAILURE(open(texts));
    onWorker([this] { controller_->showFatalErrorScreen("Something failed", true, false); });
    ASSERT_TRUE(waitForWorker());
    const std::string line = waitLine({"\"call\":\"showFatalErrorScreen\""});
    EXPECT_EQ(gtk_label_get_text(GTK_LABEL(outlet("zsaHyperlink"))), texts.linkText);
    const auto link = gtk_test::tracedRect(line, "zsaHyperlink");
    ASSERT_TRUE(link) << line;
    // Click on the text's start: the label is wider than its text.
    ASSERT_EQ(gtk_test::clickAt({(*link)[0] + 4, (*link)[1], 16, (*link)[3]}), 0);
    waitLine({"\"event\":\"link\"", "\"address\":" + UiTrace::quote(texts.linkAddress)});
    ASSERT_TRUE(gtk_test::pumpUntil([&] {
        return gtk_test::readFile(suite().openerLog).find(texts.linkAddress + "\n") != std::string::npos;
    })) << gtk_test::readFile(suite().openerLog);
    EXPECT_TRUE(sink_.actions().empty());
}

TEST_F(AppControllerTest, TheCloseBoxFollowsTheQuitButton) {
    ASSERT_NO_FATAL_FAILURE(open());
    const std::string closer = suite().closeRequestTool;
    // Disabled from the start, as initZorUI leaves it.
    ASSERT_EQ(gtk_test::runPumping({closer, mainXid_}), 0);
    waitLine({"\"event\":\"close\"", "\"outcome\":\"ignored\""});
    EXPECT_TRUE(sink_.actions().empty());
    onWorker([this] { controller_->showProgressScreen("Downloading", true); });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"showProgressScreen\""});
    ASSERT_EQ(gtk_test::runPumping({closer, mainXid_}), 0);
    waitLine({"\"event\":\"close\"", "\"outcome\":\"honoured\"", "\"code\":2"});
    EXPECT_EQ(sink_.actions(), (std::vector<std::string>{"quit"}));
    EXPECT_TRUE(gtk_widget_get_visible(outlet("mainWindow"))) << "the window must never close by itself";
    // Quit disabled by the install step: the close box goes with it.
    onWorker([this] { controller_->enableQuitButton(false); });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"enableQuitButton\""});
    ASSERT_EQ(gtk_test::runPumping({closer, mainXid_}), 0);
    waitLine({"\"event\":\"close\"", "\"outcome\":\"ignored\""});
    EXPECT_EQ(sink_.actions(), (std::vector<std::string>{"quit"}));
}

gboolean countDraw(GtkWidget*, cairo_t*, gpointer count) {
    ++*static_cast<int*>(count);
    return FALSE;
}

void countFrame(GdkFrameClock*, gpointer count) { ++*static_cast<int*>(count); }

// Makes the main window paint one frame by a draw of the title alone (it shares no pixel with
// the bar) and waits for it: whatever was queued before is painted by then.
bool paintAFrame(GtkWidget* window, GtkWidget* title) {
    GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
    int frames = 0;
    const gulong handler = g_signal_connect(clock, "after-paint", G_CALLBACK(countFrame), &frames);
    gtk_widget_queue_draw(title);
    const bool painted = gtk_test::pumpUntil([&] { return frames > 0; });
    g_signal_handler_disconnect(clock, handler);
    return painted;
}

// The worker sends the progress screen, the quit button and the percent on every tick: a tick
// that moves no pixel of the bar and changes no text must cost no frame.
TEST_F(AppControllerTest, TicksThatMoveNoPixelDrawNothing) {
    ASSERT_NO_FATAL_FAILURE(open());
    auto tick = [this](float percent) {
        controller_->showProgressScreen("Downloading", true);
        controller_->enableQuitButton(true);
        controller_->updateProgressPercent(percent);
    };
    onWorker([&tick] { tick(50.0f); });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"updateProgressPercent\"", "{\"percent\":50}"});
    ASSERT_TRUE(paintAFrame(outlet("mainWindow"), outlet("pctLabel")));

    int barDraws = 0;
    const gulong counter = g_signal_connect(outlet("progressBar"), "draw", G_CALLBACK(countDraw), &barDraws);
    // A fifth of a pixel of the 500-pixel bar in all, and the same screen each time.
    onWorker([&tick] {
        for (float percent : {50.0f, 50.01f, 50.05f, 50.1f, 50.15f, 50.19f, 50.19f}) tick(percent);
    });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"updateProgressPercent\"", "{\"percent\":50.19}"});
    ASSERT_TRUE(paintAFrame(outlet("mainWindow"), outlet("pctLabel")));
    EXPECT_EQ(barDraws, 0) << "sub-pixel steps and unchanged texts redrew the bar";
    EXPECT_FLOAT_EQ(controller_->model().percent(), 50.19f) << "the model still holds every value";

    // Five pixels: drawn.
    onWorker([&tick] { tick(51.0f); });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"updateProgressPercent\"", "{\"percent\":51}"});
    ASSERT_TRUE(paintAFrame(outlet("mainWindow"), outlet("pctLabel")));
    EXPECT_GE(barDraws, 1) << "a step of whole pixels must be drawn";
    g_signal_handler_disconnect(outlet("progressBar"), counter);
}

// The bar's fraction after each percent: it moves by whole pixels of the bar, and an empty or a
// full bar is always shown as such.
TEST_F(AppControllerTest, TheBarMovesByWholePixelsAndAlwaysReachesItsEnds) {
    ASSERT_NO_FATAL_FAILURE(open());
    struct Case {
        float percent;
        const char* traced;
        double shown;
    };
    const std::vector<Case> cases = {
        {40.0f, "40", 0.40},       {40.1f, "40.1", 0.40},   {40.3f, "40.3", 0.403},
        {0.0f, "0", 0.0},          {0.01f, "0.01", 0.0001}, {0.05f, "0.05", 0.0001},
        {99.99f, "99.99", 0.9999}, {100.0f, "100", 1.0},    {99.9f, "99.9", 0.999},
    };
    for (const Case& c : cases) {
        onWorker([this, &c] { controller_->updateProgressPercent(c.percent); });
        ASSERT_TRUE(waitForWorker());
        waitLine({"\"call\":\"updateProgressPercent\"", std::string("{\"percent\":") + c.traced + "}"});
        EXPECT_NEAR(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(outlet("progressBar"))), c.shown, 1e-6)
            << "after percent " << c.traced;
    }
}

TEST_F(AppControllerTest, TheIconFollowsTheScreenScale) {
    ASSERT_NO_FATAL_FAILURE(open());
    const bool scaled = gtk_widget_get_scale_factor(outlet("mainWindow")) == 2;
    EXPECT_EQ(isHighDPIScreen(), scaled);
    onWorker([this] { controller_->showWarningErrorScreen("No network", true); });
    ASSERT_TRUE(waitForWorker());
    const std::string line = waitLine({"\"call\":\"showWarningErrorScreen\""});
    EXPECT_EQ(gtk_test::jsonValue(line, "icon"), scaled ? "Warning32x32" : "Warning16x16");
    GtkImage* image = GTK_IMAGE(outlet("alertIcon"));
    ASSERT_EQ(gtk_image_get_storage_type(image), GTK_IMAGE_SURFACE);
    cairo_surface_t* surface = nullptr;
    g_object_get(image, "surface", &surface, nullptr);
    ASSERT_NE(surface, nullptr);
    double scaleX = 0;
    double scaleY = 0;
    cairo_surface_get_device_scale(surface, &scaleX, &scaleY);
    EXPECT_EQ(cairo_image_surface_get_width(surface), scaled ? 32 : 16);
    EXPECT_EQ(scaleX, scaled ? 2.0 : 1.0);
    cairo_surface_destroy(surface);
    // One logical size on either screen.
    const auto rect = gtk_test::tracedRect(line, "alertIcon");
    ASSERT_TRUE(rect);
    EXPECT_EQ((*rect)[2], scaled ? 32 : 16);
}

TEST_F(AppControllerTest, MissingOrBrokenIconFilesShowNoImage) {
    const std::string icon = gtk_test::readFile(suite().resources + "/Warning16x16.png");
    ASSERT_GT(icon.size(), 100u);
    struct Case {
        const char* name;
        std::string content;  // of both icon files; empty: no files at all
    };
    const std::vector<Case> cases = {
        {"missing", ""},
        {"not an image", "this is not a picture\n"},
        {"cut short", icon.substr(0, 60)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string resources = gtk_test::makeResourcesFolder(folder_, false);
        if (!c.content.empty()) {
            for (const char* file : {"/Warning16x16.png", "/Warning32x32.png"}) {
                std::ofstream(resources + file, std::ios::binary) << c.content;
            }
        }
        ::setenv("BOOTSTRAP_RESOURCES_FOLDER", resources.c_str(), 1);
        ASSERT_NO_FATAL_FAILURE(open());
        ::setenv("BOOTSTRAP_RESOURCES_FOLDER", suite().resources.c_str(), 1);
        onWorker([this] { controller_->showWarningErrorScreen("No network", true); });
        ASSERT_TRUE(waitForWorker());
        const std::string line = waitLine({"\"call\":\"showWarningErrorScreen\""});
        EXPECT_EQ(gtk_test::jsonValue(line, "icon"), "null");
        EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(outlet("alertIcon"))), GTK_IMAGE_EMPTY);
        EXPECT_TRUE(gtk_widget_get_visible(outlet("errorMessageLabel")));
        controller_->closeDispatcher();
        controller_.reset();
        handles_.controller = nullptr;
    }
}

TEST_F(AppControllerTest, AMissingOrBrokenWindowDescriptionIsAnErrorNotACrash) {
    const std::string empty = folder_ + "/empty";
    ::mkdir(empty.c_str(), 0700);
    const std::string broken = folder_ + "/broken";
    ::mkdir(broken.c_str(), 0700);
    { std::ofstream(broken + "/MainWindow.ui") << "<interface><object class=\"GtkWindow\" id=\"mainWindow\">"; }
    const std::string unknown = folder_ + "/unknown";
    ::mkdir(unknown.c_str(), 0700);
    {
        std::ofstream(unknown + "/MainWindow.ui")
            << "<interface><object class=\"NoSuchWidget\" id=\"mainWindow\"/></interface>";
    }
    const std::string partial = folder_ + "/partial";
    ::mkdir(partial.c_str(), 0700);
    {
        std::ofstream(partial + "/MainWindow.ui")
            << "<interface><object class=\"GtkWindow\" id=\"mainWindow\"><child><object class=\"GtkLabel\" "
               "id=\"pctLabel\"/></child></object></interface>";
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {empty, "missing"},
        {broken, "MainWindow.ui"},  // cut short: refused one way or another, never half a window
        {unknown, "Cannot load"},
        {partial, "lacks the outlet errorMessageLabel"}};
    for (const auto& [resources, message] : cases) {
        ::setenv("BOOTSTRAP_RESOURCES_FOLDER", resources.c_str(), 1);
        std::string error;
        AppController::Options options;
        options.readEnvironment = false;
        EXPECT_EQ(AppController::create(mediator_, WindowTexts::defaults(), options, error), nullptr);
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    ::setenv("BOOTSTRAP_RESOURCES_FOLDER", suite().resources.c_str(), 1);
}

TEST_F(AppControllerTest, BlockingCallsAfterTheQueueClosedReturnAtOnce) {
    ASSERT_NO_FATAL_FAILURE(open());
    controller_->closeDispatcher();
    onWorker([this] {
        controller_->showProxyDialog("t", "u", "p");
        controller_->showQuitConfirmation();
        controller_->showProgressScreen("dropped", true);
    });
    ASSERT_TRUE(waitForWorker());
    EXPECT_TRUE(sink_.actions().empty());
    EXPECT_FALSE(gtk_widget_get_visible(outlet("authDialogSheet")));
    EXPECT_NE(controller_->model().title(), "dropped");
}

TEST_F(AppControllerTest, ClosingTheQueueReleasesAWorkerWaitingOnTheSheetWithoutAnAnswer) {
    ASSERT_NO_FATAL_FAILURE(open());
    onWorker([this] { controller_->showProxyDialog("t", "u", "p"); });
    waitLine({"\"call\":\"showProxyDialog\""});
    controller_->closeDispatcher();
    ASSERT_TRUE(waitForWorker());
    controller_->disconnectHandlers();
    // A dismissal now reaches nobody.
    gtk_dialog_response(GTK_DIALOG(outlet("authDialogSheet")), GTK_RESPONSE_DELETE_EVENT);
    EXPECT_TRUE(sink_.actions().empty());
}

TEST_F(AppControllerTest, CloseUIHidesTheWindowAndEndsTheLoop) {
    ASSERT_NO_FATAL_FAILURE(open());
    onWorker([this] { controller_->closeUI(); });
    ASSERT_TRUE(waitForWorker());
    waitLine({"\"call\":\"closeUI\""});
    EXPECT_EQ(loopQuits_, 1);
    EXPECT_EQ(controller_->loopEnd(), AppController::LoopEnd::CloseUI);
    EXPECT_FALSE(gtk_widget_get_visible(outlet("mainWindow")));
}

// Captures are drawn in the process: the icon's colours on the warning screen, only the
// window's grey there on the next progress screen.
TEST_F(AppControllerTest, CapturesShowTheIconOnTheWarningScreenAndGreyAfterIt) {
    ASSERT_NO_FATAL_FAILURE(open(WindowTexts::defaults(), true));
    onWorker([this] {
        controller_->showWarningErrorScreen("No network", true);
        controller_->showProgressScreen("Downloading", true);
    });
    ASSERT_TRUE(waitForWorker());
    const std::string warning = waitLine({"\"call\":\"showWarningErrorScreen\""});
    const std::string progress = waitLine({"\"call\":\"showProgressScreen\""});
    auto captureOf = [](const std::string& line) {
        const auto at = line.find("\"captures\":[\"");
        if (at == std::string::npos) return std::string();
        const auto start = at + 13;
        return line.substr(start, line.find('"', start) - start);
    };
    const std::string warningFile = captureOf(warning);
    const std::string progressFile = captureOf(progress);
    ASSERT_FALSE(warningFile.empty()) << warning;
    ASSERT_FALSE(progressFile.empty()) << progress;
    const auto icon = gtk_test::tracedRect(warning, "alertIcon");
    const auto window = gtk_test::tracedRect(warning, "pctLabel");
    ASSERT_TRUE(icon && window);
    // The capture's origin is the main window's; the label sits 20 logical pixels in.
    const int scale = std::atoi(gtk_test::jsonValue(warning, "scale").c_str());
    const int originX = (*window)[0] - 20 * scale;
    const int originY = (*window)[1] - 20 * scale;
    auto countYellow = [&](const std::string& file) {
        cairo_surface_t* image = cairo_image_surface_create_from_png(file.c_str());
        EXPECT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS) << file;
        const int stride = cairo_image_surface_get_stride(image);
        const unsigned char* data = cairo_image_surface_get_data(image);
        int yellow = 0;
        for (int y = (*icon)[1] - originY; y < (*icon)[1] - originY + (*icon)[3]; ++y) {
            for (int x = (*icon)[0] - originX; x < (*icon)[0] - originX + (*icon)[2]; ++x) {
                const unsigned char* pixel = data + y * stride + x * 4;  // B, G, R, A in memory
                if (pixel[2] > 200 && pixel[1] > 150 && pixel[0] < 100) ++yellow;
            }
        }
        cairo_surface_destroy(image);
        return yellow;
    };
    EXPECT_GT(countYellow(warningFile), 10);
    EXPECT_EQ(countYellow(progressFile), 0);
}

// The main window is captured when the question's frame is painted; by then the main window may
// still owe its widgets a layout (here: a new size it asked for just before). Its capture must
// show it all the same: GTK refuses to draw a window in that state, leaving a blank picture.
TEST_F(AppControllerTest, ACaptureOfAWindowAwaitingItsLayoutIsStillDrawn) {
    ASSERT_NO_FATAL_FAILURE(open(WindowTexts::defaults(), true));
    struct Disturbance {
        GtkWidget* window;
        GtkWidget* label;
        bool done = false;
    } disturbance{outlet("mainWindow"), outlet("pctLabel")};
    GdkFrameClock* clock = gtk_widget_get_frame_clock(controller_->questionDialog());
    ASSERT_NE(clock, nullptr);
    // Just before the question's first frame: the main window wants a new size and asks for it.
    const gulong handler = g_signal_connect(clock, "paint", G_CALLBACK(+[](GdkFrameClock*, gpointer data) {
                                                auto* d = static_cast<Disturbance*>(data);
                                                if (d->done) return;
                                                d->done = true;
                                                gtk_widget_set_size_request(d->label, 560, -1);
                                                gtk_container_check_resize(GTK_CONTAINER(d->window));
                                                gtk_widget_queue_allocate(d->label);
                                            }),
                                            &disturbance);
    onWorker([this] { controller_->showQuitConfirmation(); });
    const std::string line = waitLine({"\"call\":\"showQuitConfirmation\""});
    g_signal_handler_disconnect(clock, handler);
    EXPECT_TRUE(disturbance.done);
    const auto at = line.find("-main.png\"");
    ASSERT_NE(at, std::string::npos) << line;
    const auto start = line.rfind('"', at) + 1;
    const std::string file = line.substr(start, at + 9 - start);
    cairo_surface_t* image = cairo_image_surface_create_from_png(file.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS) << file;
    const int stride = cairo_image_surface_get_stride(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    int opaque = 0;
    for (int y = 0; y < cairo_image_surface_get_height(image); ++y) {
        for (int x = 0; x < cairo_image_surface_get_width(image); ++x) {
            if (data[y * stride + x * 4 + 3] == 255) ++opaque;  // alpha, in native order
        }
    }
    cairo_surface_destroy(image);
    EXPECT_GT(opaque, 0) << file << " is blank";
    gtk_dialog_response(GTK_DIALOG(controller_->questionDialog()), GTK_RESPONSE_NO);
    ASSERT_TRUE(waitForWorker());
}

}  // namespace
