// The GTK window controller: calls carried to main, the model mirrored onto widgets, input posted.
#include "bootstrapper/ui/gtk/AppController.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "bootstrapper/support/ZORUtils.h"
#include "bootstrapper/ui/ViewMediator.h"
#include "bootstrapper/ui/gtk/X11WindowId.h"
#include "platform/Bundle.h"

namespace {

constexpr int kProgressKey = 0;    // coalescing key of percent updates
constexpr int kSheetContinue = 1;  // the sheet's response ids in the window description
constexpr int kSheetCancel = 0;
constexpr guint kPaintOverdueMs = 2000;  // a frame that never comes must not stall the queue
// The worker repeats its screen on every 10 ms tick. Served this long after the first call that
// waits, the calls of several ticks share one wake-up of the main thread; far below what a person
// notices.
constexpr guint kServeDelayMs = 50;

std::string quote(const std::string& text) { return UiTrace::quote(text); }
std::string boolText(bool value) { return value ? "true" : "false"; }

std::string percentText(float value) {
    if (std::isnan(value)) return "null";  // JSON has no NaN
    if (std::isinf(value)) return value > 0 ? "1e999" : "-1e999";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
    return text;
}

// Each setter below touches its widget only when the value differs, and says whether it did: an
// update that changes nothing on screen must not cost a frame.
bool setLabelText(GtkWidget* label, const std::string& text) {
    if (text == gtk_label_get_text(GTK_LABEL(label))) return false;
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    return true;
}

// Titles carry no accelerator any more; a "_" left in them stays literal.
bool setButtonTitle(GtkWidget* button, const std::string& text) {
    bool changed = false;
    if (gtk_button_get_use_underline(GTK_BUTTON(button))) {
        gtk_button_set_use_underline(GTK_BUTTON(button), FALSE);
        changed = true;
    }
    const gchar* shown = gtk_button_get_label(GTK_BUTTON(button));
    if (shown == nullptr || text != shown) {
        gtk_button_set_label(GTK_BUTTON(button), text.c_str());
        changed = true;
    }
    return changed;
}

bool setShown(GtkWidget* widget, bool shown) {
    if (gtk_widget_get_visible(widget) == (shown ? TRUE : FALSE)) return false;
    gtk_widget_set_visible(widget, shown);
    return true;
}

bool setSensitive(GtkWidget* widget, bool sensitive) {
    if (gtk_widget_get_sensitive(widget) == (sensitive ? TRUE : FALSE)) return false;
    gtk_widget_set_sensitive(widget, sensitive);
    return true;
}

// The bar lays itself out and redraws on every new fraction, however small the step; the worker
// sends one each tick. A fraction is set only when it moves the bar by a pixel of its width, or
// reaches or leaves an end (an empty and a full bar are styled apart). The bar's trough is a
// little narrower than the widget, so what is shown is never more than one pixel behind.
bool setBarFraction(GtkWidget* bar, double fraction) {
    const double shown = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar));
    if (fraction == shown) return false;
    const int width = gtk_widget_get_allocated_width(bar);
    const bool atAnEnd = fraction <= 0.0 || fraction >= 1.0 || shown <= 0.0 || shown >= 1.0;
    if (!atAnEnd && width > 1 && std::floor(fraction * width) == std::floor(shown * width)) return false;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), fraction);
    return true;
}

std::string xidOf(GtkWidget* window) { return std::to_string(x11WindowId(window)); }

bool mapped(GtkWidget* widget) { return widget != nullptr && gtk_widget_get_mapped(widget); }

}  // namespace

const std::vector<std::string>& AppController::outletNames() {
    static const std::vector<std::string> names = {"mainWindow",
                                                   "pctLabel",
                                                   "errorMessageLabel",
                                                   "infoIcon",
                                                   "progressBar",
                                                   "quitButton",
                                                   "retryButton",
                                                   "zsaHyperlink",
                                                   "authDialogSheet",
                                                   "authDialogErrorLabel",
                                                   "authDialogUsernameLabel",
                                                   "authDialogPasswordLabel",
                                                   "rememberCredentialsCheckBox",
                                                   "authDialogUsernameText",
                                                   "authDialogPasswordText",
                                                   "authDialogCancelButton",
                                                   "authDialogSubmitButton",
                                                   "alertIcon"};
    return names;
}

AppController::AppController(ViewMediator& mediator, const WindowTexts& texts, Options options)
    : mediator_(mediator), texts_(texts), options_(std::move(options)), model_(texts) {
    if (options_.readEnvironment) {
        if (options_.tracePath.empty()) {
            if (const char* path = std::getenv("BOOTSTRAP_UI_TRACE")) options_.tracePath = path;
        }
        if (options_.screenshotFolder.empty()) {
            if (const char* folder = std::getenv("BOOTSTRAP_UI_SCREENSHOTS")) options_.screenshotFolder = folder;
        }
    }
    trace_ = std::make_unique<UiTrace>(options_.tracePath);
    screenshotFolder_ = options_.screenshotFolder;
    if (!screenshotFolder_.empty()) g_mkdir_with_parents(screenshotFolder_.c_str(), 0700);
    observing_ = trace_->ok() || !screenshotFolder_.empty();
    if (!options_.quitLoop) {
        options_.quitLoop = [] {
            if (gtk_main_level() > 0) gtk_main_quit();
        };
    }
    if (!options_.openLink) options_.openLink = [](const std::string& address) { ZORUtils::openURL(address); };

    liveness_ = std::make_shared<Liveness>();
    liveness_->self = this;
    std::shared_ptr<Liveness> liveness = liveness_;
    dispatcher_ = std::make_unique<MainThreadDispatcher>([liveness] {
        // One timeout source on the default main context; it holds its own reference to liveness.
        auto* held = new std::shared_ptr<Liveness>(liveness);
        g_timeout_add_full(
            G_PRIORITY_DEFAULT, kServeDelayMs,
            [](gpointer data) -> gboolean {
                AppController* self = (*static_cast<std::shared_ptr<Liveness>*>(data))->self;
                if (self != nullptr) self->serveQueue();
                return G_SOURCE_REMOVE;
            },
            held, [](gpointer data) { delete static_cast<std::shared_ptr<Liveness>*>(data); });
    });
}

std::unique_ptr<AppController> AppController::create(ViewMediator& mediator, const WindowTexts& texts, Options options,
                                                     std::string& error) {
    std::unique_ptr<AppController> controller(new AppController(mediator, texts, std::move(options)));
    if (!controller->load(error)) return nullptr;
    return controller;
}

bool AppController::load(std::string& error) {
    const auto path = platform::bundleResourcePath("MainWindow", "ui");
    if (!path) {
        const auto folder = platform::bundleResourcesFolder();
        error =
            "The window description MainWindow.ui is missing from " + (folder ? *folder : std::string("the bundle"));
        return false;
    }
    builder_ = gtk_builder_new();
    GError* loadError = nullptr;
    // Not gtk_builder_new_from_file: it aborts the process on a bad file.
    if (!gtk_builder_add_from_file(builder_, path->c_str(), &loadError)) {
        error = "Cannot load the window description " + *path + ": " +
                (loadError != nullptr ? loadError->message : "unknown error");
        if (loadError != nullptr) g_error_free(loadError);
        return false;
    }
    struct Outlet {
        const char* name;
        GType type;
        GtkWidget** field;
    };
    const Outlet outlets[] = {
        {"mainWindow", GTK_TYPE_WINDOW, &window_},
        {"pctLabel", GTK_TYPE_LABEL, &pctLabel_},
        {"errorMessageLabel", GTK_TYPE_LABEL, &errorMessageLabel_},
        {"infoIcon", GTK_TYPE_LABEL, &infoIcon_},
        {"progressBar", GTK_TYPE_PROGRESS_BAR, &progressBar_},
        {"quitButton", GTK_TYPE_BUTTON, &quitButton_},
        {"retryButton", GTK_TYPE_BUTTON, &retryButton_},
        {"zsaHyperlink", GTK_TYPE_LABEL, &zsaHyperlink_},
        {"authDialogSheet", GTK_TYPE_DIALOG, &authDialogSheet_},
        {"authDialogErrorLabel", GTK_TYPE_LABEL, &authDialogErrorLabel_},
        {"authDialogUsernameLabel", GTK_TYPE_LABEL, &authDialogUsernameLabel_},
        {"authDialogPasswordLabel", GTK_TYPE_LABEL, &authDialogPasswordLabel_},
        {"rememberCredentialsCheckBox", GTK_TYPE_CHECK_BUTTON, &rememberCredentialsCheckBox_},
        {"authDialogUsernameText", GTK_TYPE_ENTRY, &authDialogUsernameText_},
        {"authDialogPasswordText", GTK_TYPE_ENTRY, &authDialogPasswordText_},
        {"authDialogCancelButton", GTK_TYPE_BUTTON, &authDialogCancelButton_},
        {"authDialogSubmitButton", GTK_TYPE_BUTTON, &authDialogSubmitButton_},
        {"alertIcon", GTK_TYPE_IMAGE, &alertIcon_},
    };
    for (const Outlet& outlet : outlets) {
        GObject* object = gtk_builder_get_object(builder_, outlet.name);
        if (object == nullptr || !G_TYPE_CHECK_INSTANCE_TYPE(object, outlet.type)) {
            error = std::string("The window description ") + *path + " lacks the outlet " + outlet.name + " (a " +
                    g_type_name(outlet.type) + ")";
            return false;
        }
        *outlet.field = GTK_WIDGET(object);
    }
    if (gtk_widget_get_toplevel(pctLabel_) != window_ ||
        gtk_widget_get_toplevel(authDialogUsernameText_) != authDialogSheet_) {
        error = "The window description " + *path + " puts an outlet in the wrong window";
        return false;
    }
    gtk_widget_set_name(window_, "mainWindow");
    gtk_window_set_transient_for(GTK_WINDOW(authDialogSheet_), GTK_WINDOW(window_));
    gtk_window_set_modal(GTK_WINDOW(authDialogSheet_), TRUE);
    gtk_entry_set_visibility(GTK_ENTRY(authDialogPasswordText_), FALSE);

    question_ = gtk_message_dialog_new(GTK_WINDOW(window_),
                                       static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                       GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s", WindowTexts::kWindowTitle);
    gtk_window_set_title(GTK_WINDOW(question_), WindowTexts::kWindowTitle);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(question_), "%s", texts_.quitQuestion.c_str());
    questionNo_ = gtk_dialog_add_button(GTK_DIALOG(question_), texts_.noButton.c_str(), GTK_RESPONSE_NO);
    questionYes_ = gtk_dialog_add_button(GTK_DIALOG(question_), texts_.yesButton.c_str(), GTK_RESPONSE_YES);
    setButtonTitle(questionNo_, texts_.noButton);
    setButtonTitle(questionYes_, texts_.yesButton);
    gtk_widget_set_name(questionNo_, "questionNoButton");
    gtk_widget_set_name(questionYes_, "questionYesButton");
    gtk_dialog_set_default_response(GTK_DIALOG(question_), GTK_RESPONSE_YES);

    connect(window_, "delete-event", G_CALLBACK(onMainDelete));
    connect(window_, "destroy", G_CALLBACK(onMainDestroy));
    connect(quitButton_, "clicked", G_CALLBACK(onQuitClicked));
    connect(retryButton_, "clicked", G_CALLBACK(onRetryClicked));
    connect(rememberCredentialsCheckBox_, "toggled", G_CALLBACK(onRememberToggled));
    rememberHandler_ = handlers_.back().id;
    connect(zsaHyperlink_, "activate-link", G_CALLBACK(onActivateLink));
    connect(authDialogSheet_, "response", G_CALLBACK(onSheetResponse));
    connect(authDialogSheet_, "close", G_CALLBACK(onSheetClose));
    connect(authDialogSheet_, "delete-event", G_CALLBACK(onDialogDelete));
    connect(question_, "response", G_CALLBACK(onQuestionResponse));
    connect(question_, "close", G_CALLBACK(onQuestionClose));
    connect(question_, "delete-event", G_CALLBACK(onDialogDelete));
    return true;
}

AppController::~AppController() {
    assertMainThread();
    liveness_->self = nullptr;
    dispatcher_->close();
    if (overdueSource_ != 0) g_source_remove(overdueSource_);
    disconnectHandlers();
    if (!widgetsGone_) {
        destroying_ = true;
        // The sheet is a long-lived outlet: it goes only now, with the window.
        if (question_ != nullptr) gtk_widget_destroy(question_);
        if (authDialogSheet_ != nullptr) gtk_widget_destroy(authDialogSheet_);
        if (window_ != nullptr) gtk_widget_destroy(window_);
    }
    if (builder_ != nullptr) g_object_unref(builder_);
    if (css_ != nullptr) {
        GdkScreen* screen = gdk_screen_get_default();
        if (screen != nullptr) gtk_style_context_remove_provider_for_screen(screen, GTK_STYLE_PROVIDER(css_));
        g_object_unref(css_);
    }
    if (iconSurface_ != nullptr) cairo_surface_destroy(iconSurface_);
    for (GdkFrameClock* clock : frameClocks_) g_object_unref(clock);
    if (trappingX11Errors_) untrapX11Errors();
}

void AppController::connect(gpointer instance, const char* signal, GCallback callback, bool after) {
    const gulong id = after ? g_signal_connect_after(instance, signal, callback, this)
                            : g_signal_connect(instance, signal, callback, this);
    handlers_.push_back(Handler{instance, id});
}

void AppController::connectFrameClock(GtkWidget* window, Target target) {
    GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
    if (clock == nullptr) return;
    // Held, so its handler can be disconnected even after another client destroyed the window.
    frameClocks_.push_back(GDK_FRAME_CLOCK(g_object_ref(clock)));
    GCallback callback = target == Target::Main    ? G_CALLBACK(onAfterPaintMain)
                         : target == Target::Sheet ? G_CALLBACK(onAfterPaintSheet)
                                                   : G_CALLBACK(onAfterPaintQuestion);
    clockHandlers_.push_back(Handler{clock, g_signal_connect(clock, "after-paint", callback, this)});
}

void AppController::closeDispatcher() {
    assertMainThread();
    dispatcher_->close();
}

void AppController::disconnectHandlers() {
    assertMainThread();
    if (!widgetsGone_) {
        for (const Handler& handler : handlers_) {
            if (g_signal_handler_is_connected(handler.instance, handler.id)) {
                g_signal_handler_disconnect(handler.instance, handler.id);
            }
        }
    }
    handlers_.clear();
    for (const Handler& handler : clockHandlers_) {
        if (g_signal_handler_is_connected(handler.instance, handler.id)) {
            g_signal_handler_disconnect(handler.instance, handler.id);
        }
    }
    clockHandlers_.clear();
    rememberHandler_ = 0;
}

GtkWidget* AppController::outlet(const std::string& name) const {
    if (widgetsGone_ || builder_ == nullptr) return nullptr;
    GObject* object = gtk_builder_get_object(builder_, name.c_str());
    return object != nullptr && GTK_IS_WIDGET(object) ? GTK_WIDGET(object) : nullptr;
}

void AppController::loadIcon() {
    // A missing or broken file leaves the image empty; never a reason to fail.
    const char* name = options_.highDPIScreen ? "Warning32x32" : "Warning16x16";
    const int scale = options_.highDPIScreen ? 2 : 1;
    const auto path = platform::bundleResourcePath(name, "png");
    if (!path) return;
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path->c_str(), &error);
    if (pixbuf == nullptr) {
        if (error != nullptr) g_error_free(error);
        return;
    }
    // One logical size: at scale 2 the 32x32 file fills the 16x16 image at full sharpness.
    iconSurface_ = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, nullptr);
    g_object_unref(pixbuf);
    iconName_ = name;
}

void AppController::initZorUI() {
    assertMainThread();
    // The window's grey, and a bar thick enough to read at a glance; both scoped to our window.
    css_ = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css_,
                                    "#mainWindow { background-color: rgb(126,126,126); }\n"
                                    "#mainWindow progressbar trough, #mainWindow progressbar progress "
                                    "{ min-height: 14px; }\n",
                                    -1, nullptr);
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(window_), GTK_STYLE_PROVIDER(css_),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

    gtk_window_set_title(GTK_WINDOW(window_), texts_.windowTitle.c_str());
    setButtonTitle(quitButton_, model_.texts().quitButton);
    setLabelText(authDialogErrorLabel_, texts_.sheetMessage);
    setLabelText(authDialogUsernameLabel_, texts_.sheetUserLabel);
    setLabelText(authDialogPasswordLabel_, texts_.sheetPasswordLabel);
    setButtonTitle(rememberCredentialsCheckBox_, texts_.rememberCredentials);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rememberCredentialsCheckBox_), FALSE);
    setButtonTitle(authDialogSubmitButton_, texts_.submitButton);
    setButtonTitle(authDialogCancelButton_, texts_.cancelButton);
    gtk_window_set_title(GTK_WINDOW(authDialogSheet_), texts_.windowTitle.c_str());
    setLabelText(errorMessageLabel_, "");

    // Both texts escaped: a translation or an address holding "&" or "<" stays literal.
    gchar* markup =
        g_markup_printf_escaped("<a href=\"%s\">%s</a>", texts_.linkAddress.c_str(), texts_.linkText.c_str());
    gtk_label_set_markup(GTK_LABEL(zsaHyperlink_), markup);
    g_free(markup);
    gtk_label_set_selectable(GTK_LABEL(zsaHyperlink_), TRUE);
    gtk_label_set_track_visited_links(GTK_LABEL(zsaHyperlink_), FALSE);

    loadIcon();

    capturedPercent_ = model_.percent();
    initialised_ = true;
    trapX11Errors();
    trappingX11Errors_ = true;
    mirror();
    gtk_widget_show(window_);
    gtk_widget_realize(authDialogSheet_);
    gtk_widget_realize(question_);
    connectFrameClock(window_, Target::Main);
    connectFrameClock(authDialogSheet_, Target::Sheet);
    connectFrameClock(question_, Target::Question);
    if (observing_) {
        pending_.push_back(PendingLine{"initZorUI", "{}", model_.toJson(), true, Target::Main, false, {}});
        gtk_widget_queue_draw(window_);
        if (overdueSource_ == 0) overdueSource_ = g_timeout_add(kPaintOverdueMs, onPaintOverdue, this);
    }
}

// ---- the window interface, on the calling thread ----

void AppController::postCall(std::string call, std::string args, std::function<void(ScreenModel&)> apply,
                             bool coalesce) {
    auto task = [this, call = std::move(call), args = std::move(args), apply = std::move(apply)] {
        applyCall(call, args, apply, Target::Main);
    };
    if (coalesce) {
        dispatcher_->postCoalesced(kProgressKey, std::move(task));
    } else {
        dispatcher_->post(std::move(task));
    }
}

void AppController::closeUI() {
    postCall("closeUI", "{}", [](ScreenModel& model) { model.applyCloseUI(); });
}

void AppController::enableQuitButton(bool enabled) {
    postCall("enableQuitButton", "{\"enabled\":" + boolText(enabled) + "}",
             [enabled](ScreenModel& model) { model.applyEnableQuitButton(enabled); });
}

void AppController::updateProgressTitle(const std::string& text) {
    postCall("updateProgressTitle", "{\"text\":" + quote(text) + "}",
             [text](ScreenModel& model) { model.applyUpdateProgressTitle(text); });
}

void AppController::showFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton) {
    postCall("showFatalErrorScreen",
             "{\"text\":" + quote(text) + ",\"showLink\":" + boolText(showLink) +
                 ",\"focusSecondButton\":" + boolText(focusSecondButton) + "}",
             [text, showLink, focusSecondButton](ScreenModel& model) {
                 model.applyShowFatalErrorScreen(text, showLink, focusSecondButton);
             });
}

void AppController::showWarningErrorScreen(const std::string& text, bool showRetry) {
    postCall("showWarningErrorScreen", "{\"text\":" + quote(text) + ",\"showRetry\":" + boolText(showRetry) + "}",
             [text, showRetry](ScreenModel& model) { model.applyShowWarningErrorScreen(text, showRetry); });
}

void AppController::showProgressScreen(const std::string& title, bool quitEnabled) {
    postCall("showProgressScreen", "{\"title\":" + quote(title) + ",\"quitEnabled\":" + boolText(quitEnabled) + "}",
             [title, quitEnabled](ScreenModel& model) { model.applyShowProgressScreen(title, quitEnabled); });
}

void AppController::updateProgressPercent(float percent) {
    postCall(
        "updateProgressPercent", "{\"percent\":" + percentText(percent) + "}",
        [percent](ScreenModel& model) { model.applyUpdateProgressPercent(percent); }, true);
}

void AppController::showButton2(bool show) {
    postCall("showButton2", "{\"show\":" + boolText(show) + "}",
             [show](ScreenModel& model) { model.applyShowButton2(show); });
}

void AppController::setButton2Text(const std::string& text) {
    postCall("setButton2Text", "{\"text\":" + quote(text) + "}",
             [text](ScreenModel& model) { model.applySetButton2Text(text); });
}

void AppController::showQuitConfirmation() {
    dispatcher_->request([this](std::uint64_t id) { showDialog(ScreenModel::Dialog::QuitQuestion, id, "{}"); });
}

void AppController::showProxyDialog(const std::string& title, const std::string& userLabel,
                                    const std::string& passwordLabel) {
    // The three labels are ignored: the sheet shows the texts resolved before the run.
    const std::string args = "{\"title\":" + quote(title) + ",\"userLabel\":" + quote(userLabel) +
                             ",\"passwordLabel\":" + quote(passwordLabel) + "}";
    dispatcher_->request([this, args](std::uint64_t id) { showDialog(ScreenModel::Dialog::ProxySheet, id, args); });
}

// ---- main thread ----

void AppController::applyCall(const std::string& call, const std::string& args,
                              const std::function<void(ScreenModel&)>& apply, Target target) {
    assertMainThread();
    // Kept only to trace the call: without a trace every tick would copy the whole model.
    std::optional<ScreenModel> before;
    if (observing_) before.emplace(model_);
    apply(model_);
    const bool widgetsChanged = mirror();
    if (call == "closeUI") endLoop(LoopEnd::CloseUI);
    if (!before || model_ == *before) return;

    // A model change no widget shows (a percent that moves no pixel) has no frame to wait for.
    PendingLine line{call, args, model_.toJson(), false, target, !widgetsChanged, {}};
    // Captures for what a person would notice: any change but the percent, or a whole 10 of it.
    ScreenModel percentOnly = *before;
    percentOnly.applyUpdateProgressPercent(model_.percent());
    const bool percentMoved = std::floor(model_.percent() / 10.0f) != std::floor(capturedPercent_ / 10.0f);
    line.capture = !(percentOnly == model_) || percentMoved;
    if (line.capture) capturedPercent_ = model_.percent();
    if (target == Target::Sheet) line.dialogShown = "sheet";
    if (target == Target::Question) line.dialogShown = "question";
    pending_.push_back(std::move(line));
    GtkWidget* window = targetWindow(target);
    if (widgetsChanged && mapped(window)) {
        gtk_widget_queue_draw(window);
        if (overdueSource_ == 0) overdueSource_ = g_timeout_add(kPaintOverdueMs, onPaintOverdue, this);
    } else {
        flushPending(false);
    }
}

void AppController::showDialog(ScreenModel::Dialog dialog, std::uint64_t requestId, const std::string& args) {
    assertMainThread();
    const bool sheet = dialog == ScreenModel::Dialog::ProxySheet;
    if (widgetsGone_) {
        // Nobody can answer: the worker's wait ends only with the queue's closing.
        model_.closeDialog();
        return;
    }
    (sheet ? sheetRequest_ : questionRequest_) = requestId;
    dismissedBy_ = nullptr;
    applyCall(
        sheet ? "showProxyDialog" : "showQuitConfirmation", args,
        [sheet](ScreenModel& model) {
            if (sheet) {
                model.applyShowProxyDialog({}, {}, {});
            } else {
                model.applyShowQuitConfirmation();
            }
        },
        sheet ? Target::Sheet : Target::Question);
}

void AppController::answerDialog(ScreenModel::Dialog dialog, int response) {
    assertMainThread();
    const bool sheet = dialog == ScreenModel::Dialog::ProxySheet;
    std::uint64_t& request = sheet ? sheetRequest_ : questionRequest_;
    const char* how = dismissedBy_ != nullptr ? dismissedBy_ : "window-manager";
    dismissedBy_ = nullptr;
    if (request == 0 || dispatcher_->isClosed() || model_.dialog() != dialog) return;
    // Answered before its first frame: its line (and captures) go first, while it is still up.
    if (!pending_.empty()) flushPending(true);
    std::string answer;
    int code = 0;
    if (sheet) {
        if (response == kSheetContinue) {
            const std::string user = gtk_entry_get_text(GTK_ENTRY(authDialogUsernameText_));
            const std::string password = gtk_entry_get_text(GTK_ENTRY(authDialogPasswordText_));
            model_.setSheetFields(user, password);
            mediator_.submitCredentials(user, password);
            answer = "continue";
            code = 3;
            how = "button";
        } else {
            // Cancel, Esc, a window manager's close: the worker must never wait for ever.
            mediator_.cancelCredentials();
            answer = "cancel";
            code = 4;
            if (response == kSheetCancel) how = "button";
        }
    } else {
        if (response == GTK_RESPONSE_YES) {
            mediator_.confirmQuit();
            answer = "yes";
            code = 6;
            how = "button";
        } else {
            mediator_.rejectQuit();
            answer = "no";
            code = 7;
            if (response == GTK_RESPONSE_NO) how = "button";
        }
    }
    // The code is stored; now hide, then let the worker go.
    model_.closeDialog();
    mirror();
    traceInput("dialog", "\"dialog\":" + quote(sheet ? "sheet" : "question") + ",\"outcome\":\"answered\",\"answer\":" +
                             quote(answer) + ",\"how\":" + quote(how) + ",\"code\":" + std::to_string(code));
    const std::uint64_t answered = request;
    request = 0;
    dispatcher_->complete(answered);
}

bool AppController::mirror() {
    assertMainThread();
    if (widgetsGone_ || !initialised_) return false;
    const ScreenModel& m = model_;
    bool changed = false;
    changed |= setLabelText(pctLabel_, m.title());
    changed |= setShown(progressBar_, m.progressBarVisible());
    changed |= setBarFraction(progressBar_, ScreenModel::clampPercent(m.percent()) / 100.0);
    changed |= setLabelText(errorMessageLabel_, m.errorText());
    changed |= setShown(errorMessageLabel_, m.errorTextVisible());
    changed |= setShown(infoIcon_, m.infoIconVisible());
    if (m.alertIconShown() && iconSurface_ != nullptr) {
        if (gtk_image_get_storage_type(GTK_IMAGE(alertIcon_)) != GTK_IMAGE_SURFACE) {
            gtk_image_set_from_surface(GTK_IMAGE(alertIcon_), iconSurface_);
            changed = true;
        }
        changed |= setShown(alertIcon_, true);
    } else {
        if (gtk_image_get_storage_type(GTK_IMAGE(alertIcon_)) != GTK_IMAGE_EMPTY) {
            gtk_image_clear(GTK_IMAGE(alertIcon_));
            changed = true;
        }
        changed |= setShown(alertIcon_, false);
    }
    changed |= setButtonTitle(retryButton_, m.retryText());
    changed |= setSensitive(retryButton_, m.retryEnabled());
    changed |= setShown(retryButton_, m.retryVisible());
    changed |= setButtonTitle(quitButton_, m.texts().quitButton);
    changed |= setSensitive(quitButton_, m.quitEnabled());
    changed |= setShown(quitButton_, m.quitVisible());
    // A hint only: the close request itself is checked against the model.
    if (gtk_window_get_deletable(GTK_WINDOW(window_)) != (m.closeBoxEnabled() ? TRUE : FALSE)) {
        gtk_window_set_deletable(GTK_WINDOW(window_), m.closeBoxEnabled());
        changed = true;
    }
    changed |= setShown(zsaHyperlink_, m.linkVisible());

    if (m.focus() != mirroredFocus_) {
        GtkWidget* focus = m.focus() == ScreenModel::Control::QuitButton    ? quitButton_
                           : m.focus() == ScreenModel::Control::RetryButton ? retryButton_
                                                                            : nullptr;
        if (focus != nullptr && gtk_widget_get_visible(focus) && gtk_widget_get_sensitive(focus)) {
            gtk_widget_grab_focus(focus);
        }
        mirroredFocus_ = m.focus();
        changed = true;
    }

    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(rememberCredentialsCheckBox_)) != m.rememberChecked()) {
        if (rememberHandler_ != 0) g_signal_handler_block(rememberCredentialsCheckBox_, rememberHandler_);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rememberCredentialsCheckBox_), m.rememberChecked());
        if (rememberHandler_ != 0) g_signal_handler_unblock(rememberCredentialsCheckBox_, rememberHandler_);
        changed = true;
    }

    const bool sheetUp = m.windowShown() && m.dialog() == ScreenModel::Dialog::ProxySheet;
    const bool questionUp = m.windowShown() && m.dialog() == ScreenModel::Dialog::QuitQuestion;
    if (sheetUp && !gtk_widget_get_visible(authDialogSheet_)) {
        gtk_window_present(GTK_WINDOW(authDialogSheet_));
        gtk_widget_grab_focus(authDialogUsernameText_);
        changed = true;
    } else if (!sheetUp && gtk_widget_get_visible(authDialogSheet_)) {
        gtk_widget_hide(authDialogSheet_);
        changed = true;
    }
    if (questionUp && !gtk_widget_get_visible(question_)) {
        gtk_window_present(GTK_WINDOW(question_));
        gtk_widget_grab_focus(questionYes_);
        changed = true;
    } else if (!questionUp && gtk_widget_get_visible(question_)) {
        gtk_widget_hide(question_);
        changed = true;
    }
    changed |= setShown(window_, m.windowShown());
    return changed;
}

void AppController::serveQueue() {
    assertMainThread();
    if (widgetsGone_ && dispatcher_->isClosed()) return;
    if (awaitingPaint()) {
        heldForPaint_ = true;
        return;
    }
    if (dispatcher_->serve([this] { return !awaitingPaint(); })) heldForPaint_ = true;
}

GtkWidget* AppController::targetWindow(Target target) const {
    if (widgetsGone_) return nullptr;
    switch (target) {
        case Target::Main: return window_;
        case Target::Sheet: return authDialogSheet_;
        case Target::Question: return question_;
    }
    return nullptr;
}

void AppController::afterPaint(Target target) {
    assertMainThread();
    bool any = false;
    for (PendingLine& line : pending_) {
        if (line.target == target) {
            line.painted = true;
            any = true;
        }
    }
    if (any) flushPending(false);
}

void AppController::flushPending(bool force) {
    while (!pending_.empty()) {
        PendingLine& front = pending_.front();
        if (!force && !front.painted && mapped(targetWindow(front.target))) break;
        const PendingLine line = std::move(front);
        pending_.pop_front();
        writeCallLine(line);
    }
    if (pending_.empty() && overdueSource_ != 0) {
        g_source_remove(overdueSource_);
        overdueSource_ = 0;
    }
    if (pending_.empty() && heldForPaint_) {
        heldForPaint_ = false;
        dispatcher_->resume();
    }
}

void AppController::writeCallLine(const PendingLine& line) {
    const std::uint64_t seq = trace_->nextSequence();
    std::string captures;
    if (line.capture && !screenshotFolder_.empty() && !widgetsGone_) {
        const std::pair<GtkWidget*, const char*> windows[] = {
            {window_, "main"}, {authDialogSheet_, "sheet"}, {question_, "question"}};
        for (const auto& [window, name] : windows) {
            if (!mapped(window)) continue;
            const std::string file = capture(window, line.call, name, seq);
            if (!file.empty()) captures += (captures.empty() ? "" : ",") + quote(file);
        }
    }
    if (!trace_->ok()) return;
    std::string fields = "\"call\":" + quote(line.call) + ",\"args\":" + line.args + ",\"model\":" + line.model;
    fields += ",\"windows\":{\"main\":" + xidOf(widgetsGone_ ? nullptr : window_) +
              ",\"sheet\":" + xidOf(widgetsGone_ ? nullptr : authDialogSheet_) +
              ",\"question\":" + xidOf(widgetsGone_ ? nullptr : question_) + "}";
    fields += ",\"shown\":{\"main\":" + boolText(!widgetsGone_ && mapped(window_)) +
              ",\"sheet\":" + boolText(!widgetsGone_ && mapped(authDialogSheet_)) +
              ",\"question\":" + boolText(!widgetsGone_ && mapped(question_)) + "}";
    fields += ",\"scale\":" + std::to_string(widgetsGone_ ? 1 : gtk_widget_get_scale_factor(window_));
    fields += ",\"rects\":" + rectanglesJson();
    if (widgetsGone_) {
        fields += ",\"labels\":{}";
    } else {
        auto label = [](GtkWidget* button) {
            const gchar* text = gtk_button_get_label(GTK_BUTTON(button));
            return quote(text != nullptr ? text : "");
        };
        fields += ",\"labels\":{\"quitButton\":" + label(quitButton_) + ",\"retryButton\":" + label(retryButton_) +
                  ",\"authDialogSubmitButton\":" + label(authDialogSubmitButton_) +
                  ",\"authDialogCancelButton\":" + label(authDialogCancelButton_) +
                  ",\"questionYesButton\":" + label(questionYes_) + ",\"questionNoButton\":" + label(questionNo_) +
                  ",\"pctLabel\":" + quote(gtk_label_get_text(GTK_LABEL(pctLabel_))) + "}";
    }
    const bool iconShown = !widgetsGone_ && gtk_image_get_storage_type(GTK_IMAGE(alertIcon_)) == GTK_IMAGE_SURFACE;
    fields += ",\"icon\":" + (iconShown ? quote(iconName_) : std::string("null"));
    fields += ",\"captures\":[" + captures + "]";
    trace_->write("call", fields);
    if (!line.dialogShown.empty() && !widgetsGone_) {
        trace_->write("dialog", "\"dialog\":" + quote(line.dialogShown) + ",\"outcome\":\"shown\"");
    }
}

std::string AppController::rectanglesJson() const {
    std::vector<std::pair<std::string, GtkWidget*>> widgets;
    for (const std::string& name : outletNames()) {
        if (name == "mainWindow" || name == "authDialogSheet") continue;
        widgets.emplace_back(name, outlet(name));
    }
    widgets.emplace_back("questionYesButton", questionDialog() != nullptr ? questionYes_ : nullptr);
    widgets.emplace_back("questionNoButton", questionDialog() != nullptr ? questionNo_ : nullptr);
    std::string json = "{";
    for (const auto& [name, widget] : widgets) {
        if (json.size() > 1) json += ",";
        json += quote(name) + ":";
        if (!mapped(widget)) {
            json += "null";
            continue;
        }
        GtkWidget* toplevel = gtk_widget_get_toplevel(widget);
        int x = 0;
        int y = 0;
        int originX = 0;
        int originY = 0;
        gtk_widget_translate_coordinates(widget, toplevel, 0, 0, &x, &y);
        gdk_window_get_origin(gtk_widget_get_window(toplevel), &originX, &originY);
        const int scale = gtk_widget_get_scale_factor(widget);
        json += "[" + std::to_string((originX + x) * scale) + "," + std::to_string((originY + y) * scale) + "," +
                std::to_string(gtk_widget_get_allocated_width(widget) * scale) + "," +
                std::to_string(gtk_widget_get_allocated_height(widget) * scale) + "]";
    }
    return json + "}";
}

std::string AppController::capture(GtkWidget* window, const std::string& call, const char* name,
                                   std::uint64_t seq) const {
    // Drawn in the process, not read back from the X server, where a dialog may cover the window.
    const int scale = gtk_widget_get_scale_factor(window);
    const int width = gtk_widget_get_allocated_width(window);
    const int height = gtk_widget_get_allocated_height(window);
    if (width <= 1 || height <= 1) return {};
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width * scale, height * scale);
    cairo_surface_set_device_scale(surface, scale, scale);
    cairo_t* cr = cairo_create(surface);
    // A window that still owes its children an allocation draws nothing; lay it out first.
    gtk_container_check_resize(GTK_CONTAINER(window));
    gtk_widget_draw(window, cr);
    cairo_destroy(cr);
    char number[16];
    std::snprintf(number, sizeof number, "%04llu", static_cast<unsigned long long>(seq));
    const std::string file = screenshotFolder_ + "/" + number + "-" + call + "-" + name + ".png";
    const bool written = cairo_surface_write_to_png(surface, file.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return written ? file : std::string();
}

void AppController::traceInput(const std::string& event, const std::string& fields) {
    // A call still waiting for its frame is written first, so the trace keeps the order of events.
    if (!pending_.empty()) flushPending(true);
    trace_->write(event, fields);
}

void AppController::endLoop(LoopEnd reason) {
    assertMainThread();
    if (loopEnd_ == LoopEnd::Running) loopEnd_ = reason;
    options_.quitLoop();
}

void AppController::onMainWindowDestroyed() {
    assertMainThread();
    if (destroying_ || widgetsGone_) return;
    // Another client destroyed the window: the widgets are gone (the sheet and the question go
    // with their parent), later calls only update the model.
    widgetsGone_ = true;
    handlers_.clear();
    rememberHandler_ = 0;
    if (sheetRequest_ != 0 || questionRequest_ != 0) model_.closeDialog();
    pending_.clear();
    if (overdueSource_ != 0) {
        g_source_remove(overdueSource_);
        overdueSource_ = 0;
    }
    if (heldForPaint_) {
        heldForPaint_ = false;
        dispatcher_->resume();
    }
    endLoop(LoopEnd::Destroyed);
}

// ---- GTK callbacks ----

gboolean AppController::onMainDelete(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<AppController*>(data);
    if (self->model_.acceptsClick(ScreenModel::Control::CloseBox)) {
        self->mediator_.quit();
        self->traceInput("close", "\"window\":\"main\",\"outcome\":\"honoured\",\"code\":2");
    } else {
        self->traceInput("close", "\"window\":\"main\",\"outcome\":\"ignored\"");
    }
    return TRUE;  // the window never closes by itself
}

void AppController::onMainDestroy(GtkWidget*, gpointer data) {
    static_cast<AppController*>(data)->onMainWindowDestroyed();
}

void AppController::onQuitClicked(GtkButton*, gpointer data) {
    auto* self = static_cast<AppController*>(data);
    if (self->model_.acceptsClick(ScreenModel::Control::QuitButton)) {
        self->mediator_.quit();
        self->traceInput("click", "\"control\":\"quit\",\"code\":2");
    } else {
        self->traceInput("click", "\"control\":\"quit\",\"ignored\":true");
    }
}

void AppController::onRetryClicked(GtkButton*, gpointer data) {
    auto* self = static_cast<AppController*>(data);
    if (self->model_.acceptsClick(ScreenModel::Control::RetryButton)) {
        self->mediator_.retry();
        self->traceInput("click", "\"control\":\"retry\",\"code\":5");
    } else {
        self->traceInput("click", "\"control\":\"retry\",\"ignored\":true");
    }
}

void AppController::onRememberToggled(GtkToggleButton* button, gpointer data) {
    auto* self = static_cast<AppController*>(data);
    const bool active = gtk_toggle_button_get_active(button);
    self->model_.setRememberChecked(active);
    self->mediator_.setRememberCredentials(active);
    self->traceInput("toggle", "\"control\":\"remember\",\"active\":" + boolText(active));
}

gboolean AppController::onActivateLink(GtkLabel*, gchar* uri, gpointer data) {
    auto* self = static_cast<AppController*>(data);
    if (uri != nullptr && self->model_.acceptsClick(ScreenModel::Control::Link)) {
        self->traceInput("link", "\"address\":" + quote(uri));
        self->options_.openLink(uri);
    }
    return TRUE;  // opened by us, never by GTK's default handler
}

void AppController::onSheetResponse(GtkDialog*, gint response, gpointer data) {
    static_cast<AppController*>(data)->answerDialog(ScreenModel::Dialog::ProxySheet, response);
}

void AppController::onQuestionResponse(GtkDialog*, gint response, gpointer data) {
    static_cast<AppController*>(data)->answerDialog(ScreenModel::Dialog::QuitQuestion, response);
}

gboolean AppController::onDialogDelete(GtkWidget* dialog, GdkEvent*, gpointer) {
    // GtkDialog's own handler has sent the -4 response already; stop the default destroy, since
    // the dialogs live until shutdown.
    gtk_widget_hide(dialog);
    return TRUE;
}

void AppController::onSheetClose(GtkDialog*, gpointer data) {
    static_cast<AppController*>(data)->dismissedBy_ = "escape";
}

void AppController::onQuestionClose(GtkDialog*, gpointer data) {
    static_cast<AppController*>(data)->dismissedBy_ = "escape";
}

void AppController::onAfterPaintMain(GdkFrameClock*, gpointer data) {
    static_cast<AppController*>(data)->afterPaint(Target::Main);
}

void AppController::onAfterPaintSheet(GdkFrameClock*, gpointer data) {
    static_cast<AppController*>(data)->afterPaint(Target::Sheet);
}

void AppController::onAfterPaintQuestion(GdkFrameClock*, gpointer data) {
    static_cast<AppController*>(data)->afterPaint(Target::Question);
}

gboolean AppController::onPaintOverdue(gpointer data) {
    auto* self = static_cast<AppController*>(data);
    self->overdueSource_ = 0;
    self->flushPending(true);
    return G_SOURCE_REMOVE;
}
