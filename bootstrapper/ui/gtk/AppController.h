// The bootstrapper's window on GTK 3: the window interface carried to the main thread and mirrored
// from the screen model onto the widgets of the window description.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bootstrapper/ui/IBootstrapWindow.h"
#include "bootstrapper/ui/MainThreadDispatcher.h"
#include "bootstrapper/ui/ScreenModel.h"
#include "bootstrapper/ui/WindowTexts.h"
#include "bootstrapper/ui/gtk/UiTrace.h"
#include "platform/ThreadChecker.h"

class ViewMediator;

// Only the main thread touches GTK. Each call of IBootstrapWindow, made on the worker, becomes a
// closure with copied arguments in one FIFO queue; on main it is applied to the ScreenModel,
// which holds every screen rule, and the model is then mirrored onto the widgets. The two
// dialogs are modal and transient for the window; the worker waits on their answer (or on the
// queue's closing) without a nested main loop.
class AppController final : public IBootstrapWindow {
public:
    enum class LoopEnd { Running, CloseUI, Destroyed };

    struct Options {
        bool highDPIScreen = false;                        // the 32x32 icon at device scale 2
        std::function<void()> quitLoop;                    // default: gtk_main_quit while a loop runs
        std::function<void(const std::string&)> openLink;  // default: ZORUtils::openURL
        std::string tracePath;                             // default: BOOTSTRAP_UI_TRACE
        std::string screenshotFolder;                      // default: BOOTSTRAP_UI_SCREENSHOTS
        bool readEnvironment = true;                       // false: the two above only as given
    };

    // Main thread, after gtk_init_check. Loads "MainWindow.ui" through the bundle's resource
    // look-up and finds every outlet; nullptr with error set when the file or an outlet is
    // missing or malformed. Nothing is shown yet.
    static std::unique_ptr<AppController> create(ViewMediator& mediator, const WindowTexts& texts, Options options,
                                                 std::string& error);
    ~AppController() override;
    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    // Main thread: the window's first state (background, titles, sheet texts, link, icons), then
    // shows the window.
    void initZorUI();

    // The window interface; any thread, served on main.
    void closeUI() override;
    void enableQuitButton(bool enabled) override;
    void updateProgressTitle(const std::string& text) override;
    void showFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton) override;
    void showWarningErrorScreen(const std::string& text, bool showRetry) override;
    void showProgressScreen(const std::string& title, bool quitEnabled) override;
    void updateProgressPercent(float percent) override;
    void showButton2(bool show) override;
    void setButton2Text(const std::string& text) override;
    void showQuitConfirmation() override;
    void showProxyDialog(const std::string& title, const std::string& userLabel,
                         const std::string& passwordLabel) override;

    // Shutdown, on main, in this order: close the queue (every waiter returns), disconnect the
    // widgets' handlers (no click reaches the mediator), then the caller joins the worker, then
    // destroys this controller with its widgets.
    void closeDispatcher();
    void disconnectHandlers();

    // Main thread.
    LoopEnd loopEnd() const { return loopEnd_; }
    bool widgetsGone() const { return widgetsGone_; }
    const ScreenModel& model() const { return model_; }
    MainThreadDispatcher& dispatcher() { return *dispatcher_; }
    UiTrace& trace() { return *trace_; }
    // An outlet by its id in the window description ("mainWindow" too); nullptr once gone.
    GtkWidget* outlet(const std::string& name) const;
    GtkWidget* questionDialog() const { return widgetsGone_ ? nullptr : question_; }
    // True while an applied call awaits the paint that shows it (only when tracing or capturing).
    bool awaitingPaint() const { return !pending_.empty(); }

    // Outlet ids of the window description.
    static const std::vector<std::string>& outletNames();

private:
    enum class Target { Main, Sheet, Question };
    struct PendingLine {
        std::string call;
        std::string args;
        std::string model;
        bool capture = false;
        Target target = Target::Main;
        bool painted = false;
        std::string dialogShown;  // "sheet" or "question": a dialog line follows the call's
    };
    struct Handler {
        gpointer instance;
        gulong id;
    };

    AppController(ViewMediator& mediator, const WindowTexts& texts, Options options);
    bool load(std::string& error);

    // Worker side: queue one call.
    void postCall(std::string call, std::string args, std::function<void(ScreenModel&)> apply, bool coalesce = false);
    // Main side.
    void applyCall(const std::string& call, const std::string& args, const std::function<void(ScreenModel&)>& apply,
                   Target target);
    void showDialog(ScreenModel::Dialog dialog, std::uint64_t requestId, const std::string& args);
    void answerDialog(ScreenModel::Dialog dialog, int response);
    // True when a widget was changed (and so will be drawn again).
    bool mirror();
    void serveQueue();
    void afterPaint(Target target);
    void flushPending(bool force);
    void writeCallLine(const PendingLine& line);
    void traceInput(const std::string& event, const std::string& fields);
    void endLoop(LoopEnd reason);
    void onMainWindowDestroyed();
    void connect(gpointer instance, const char* signal, GCallback callback, bool after = false);
    void connectFrameClock(GtkWidget* window, Target target);
    GtkWidget* targetWindow(Target target) const;
    std::string rectanglesJson() const;
    std::string capture(GtkWidget* window, const std::string& call, const char* name, std::uint64_t seq) const;
    void loadIcon();

    // GTK's C callbacks.
    static gboolean onMainDelete(GtkWidget*, GdkEvent*, gpointer self);
    static void onMainDestroy(GtkWidget*, gpointer self);
    static void onQuitClicked(GtkButton*, gpointer self);
    static void onRetryClicked(GtkButton*, gpointer self);
    static void onRememberToggled(GtkToggleButton*, gpointer self);
    static gboolean onActivateLink(GtkLabel*, gchar* uri, gpointer self);
    static void onSheetResponse(GtkDialog*, gint response, gpointer self);
    static void onQuestionResponse(GtkDialog*, gint response, gpointer self);
    static gboolean onDialogDelete(GtkWidget*, GdkEvent*, gpointer self);
    static void onSheetClose(GtkDialog*, gpointer self);
    static void onQuestionClose(GtkDialog*, gpointer self);
    static void onAfterPaintMain(GdkFrameClock*, gpointer self);
    static void onAfterPaintSheet(GdkFrameClock*, gpointer self);
    static void onAfterPaintQuestion(GdkFrameClock*, gpointer self);
    static gboolean onPaintOverdue(gpointer self);

    // Widgets, the model and the pending lines are the main thread's; debug builds stop a caller
    // from any other thread.
    void assertMainThread() const { mainThread_.check("AppController"); }

    ViewMediator& mediator_;
    WindowTexts texts_;
    Options options_;
    ScreenModel model_;
    std::unique_ptr<UiTrace> trace_;
    std::string screenshotFolder_;
    bool observing_ = false;  // trace or captures on: calls are paced by painted frames

    // Lets an idle source queued by any thread find out that the controller is gone.
    struct Liveness {
        AppController* self = nullptr;  // read and cleared on main only
    };
    std::shared_ptr<Liveness> liveness_;
    std::unique_ptr<MainThreadDispatcher> dispatcher_;

    GtkBuilder* builder_ = nullptr;
    GtkWidget* window_ = nullptr;
    GtkWidget* pctLabel_ = nullptr;
    GtkWidget* errorMessageLabel_ = nullptr;
    GtkWidget* infoIcon_ = nullptr;
    GtkWidget* progressBar_ = nullptr;
    GtkWidget* quitButton_ = nullptr;
    GtkWidget* retryButton_ = nullptr;
    GtkWidget* zsaHyperlink_ = nullptr;
    GtkWidget* authDialogSheet_ = nullptr;
    GtkWidget* authDialogErrorLabel_ = nullptr;
    GtkWidget* authDialogUsernameLabel_ = nullptr;
    GtkWidget* authDialogPasswordLabel_ = nullptr;
    GtkWidget* rememberCredentialsCheckBox_ = nullptr;
    GtkWidget* authDialogUsernameText_ = nullptr;
    GtkWidget* authDialogPasswordText_ = nullptr;
    GtkWidget* authDialogCancelButton_ = nullptr;
    GtkWidget* authDialogSubmitButton_ = nullptr;
    GtkWidget* alertIcon_ = nullptr;
    GtkWidget* question_ = nullptr;
    GtkWidget* questionYes_ = nullptr;
    GtkWidget* questionNo_ = nullptr;
    GtkCssProvider* css_ = nullptr;
    cairo_surface_t* iconSurface_ = nullptr;
    std::string iconName_;

    std::vector<Handler> handlers_;       // on widgets: they go with a destroyed window
    std::vector<Handler> clockHandlers_;  // on the frame clocks below, which we hold
    std::vector<GdkFrameClock*> frameClocks_;
    gulong rememberHandler_ = 0;
    bool initialised_ = false;
    bool widgetsGone_ = false;
    bool destroying_ = false;
    bool trappingX11Errors_ = false;
    LoopEnd loopEnd_ = LoopEnd::Running;
    ScreenModel::Control mirroredFocus_ = ScreenModel::Control::None;
    std::uint64_t sheetRequest_ = 0;
    std::uint64_t questionRequest_ = 0;
    const char* dismissedBy_ = nullptr;  // "escape" between Esc and the response it brings
    std::deque<PendingLine> pending_;
    bool heldForPaint_ = false;
    guint overdueSource_ = 0;
    float capturedPercent_ = -100.0f;
    [[no_unique_address]] platform::ThreadChecker mainThread_;
};
