// The headless window: the worker's calls applied to a screen model, inputs through the mediator.
#include "tests/bootstrapper/ui/HeadlessWindow.h"

#include <gtest/gtest.h>

#include <charconv>
#include <utility>

#include "bootstrapper/ui/ViewMediator.h"

namespace test_support {

namespace {

std::string flag(bool value) { return value ? "true" : "false"; }

std::string number(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

HeadlessWindow::HeadlessWindow(ViewMediator& mediator, WindowTexts texts, std::chrono::milliseconds answerTimeout)
    : mediator_(mediator), answerTimeout_(answerTimeout), model_(std::move(texts)) {}

HeadlessWindow::~HeadlessWindow() { closeWindowSide(); }

void HeadlessWindow::record(WindowCall::Kind kind, std::string name, std::vector<std::string> arguments) {
    calls_.push_back(WindowCall{kind, std::move(name), std::move(arguments)});
    changed_.signalAll();
}

void HeadlessWindow::closeUI() {
    platform::MutexLock lock(mutex_);
    model_.applyCloseUI();
    closeRequested_ = true;
    record(WindowCall::Kind::Window, "closeUI", {});
}

void HeadlessWindow::enableQuitButton(bool enabled) {
    platform::MutexLock lock(mutex_);
    model_.applyEnableQuitButton(enabled);
    record(WindowCall::Kind::Window, "enableQuitButton", {flag(enabled)});
}

void HeadlessWindow::updateProgressTitle(const std::string& text) {
    platform::MutexLock lock(mutex_);
    model_.applyUpdateProgressTitle(text);
    record(WindowCall::Kind::Window, "updateProgressTitle", {text});
}

void HeadlessWindow::showFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton) {
    platform::MutexLock lock(mutex_);
    model_.applyShowFatalErrorScreen(text, showLink, focusSecondButton);
    record(WindowCall::Kind::Window, "showFatalErrorScreen", {text, flag(showLink), flag(focusSecondButton)});
}

void HeadlessWindow::showWarningErrorScreen(const std::string& text, bool showRetry) {
    platform::MutexLock lock(mutex_);
    model_.applyShowWarningErrorScreen(text, showRetry);
    record(WindowCall::Kind::Window, "showWarningErrorScreen", {text, flag(showRetry)});
}

void HeadlessWindow::showProgressScreen(const std::string& title, bool quitEnabled) {
    platform::MutexLock lock(mutex_);
    model_.applyShowProgressScreen(title, quitEnabled);
    record(WindowCall::Kind::Window, "showProgressScreen", {title, flag(quitEnabled)});
}

void HeadlessWindow::updateProgressPercent(float percent) {
    platform::MutexLock lock(mutex_);
    model_.applyUpdateProgressPercent(percent);
    record(WindowCall::Kind::Window, "updateProgressPercent", {number(percent)});
}

void HeadlessWindow::showButton2(bool show) {
    platform::MutexLock lock(mutex_);
    model_.applyShowButton2(show);
    record(WindowCall::Kind::Window, "showButton2", {flag(show)});
}

void HeadlessWindow::setButton2Text(const std::string& text) {
    platform::MutexLock lock(mutex_);
    model_.applySetButton2Text(text);
    record(WindowCall::Kind::Window, "setButton2Text", {text});
}

void HeadlessWindow::showQuitConfirmation() {
    platform::MutexLock lock(mutex_);
    record(WindowCall::Kind::Window, "showQuitConfirmation", {});
    if (windowSideClosed_) return;
    model_.applyShowQuitConfirmation();
    dialogAnswered_ = false;
    changed_.signalAll();
    if (!quitScript_.empty()) {
        const bool yes = quitScript_.front();
        quitScript_.pop_front();
        answerQuitLocked(yes);
        record(WindowCall::Kind::Input, "scriptedQuitAnswer", {yes ? "yes" : "no"});
        return;
    }
    if (!waitForAnswerLocked()) {
        ADD_FAILURE() << "the quit question was not answered within " << answerTimeout_.count()
                      << " ms; answering No. The calls so far:\n"
                      << describeCallsLocked();
        answerQuitLocked(false);
        record(WindowCall::Kind::Input, "timedOutQuitAnswer", {"no"});
    }
}

void HeadlessWindow::showProxyDialog(const std::string& title, const std::string& userLabel,
                                     const std::string& passwordLabel) {
    platform::MutexLock lock(mutex_);
    record(WindowCall::Kind::Window, "showProxyDialog", {title, userLabel, passwordLabel});
    if (windowSideClosed_) return;
    model_.applyShowProxyDialog(title, userLabel, passwordLabel);
    dialogAnswered_ = false;
    changed_.signalAll();
    if (!proxyScript_.empty()) {
        const ProxyAnswer answer = proxyScript_.front();
        proxyScript_.pop_front();
        if (answer.submit) {
            if (answer.remember != model_.rememberChecked()) {
                model_.setRememberChecked(answer.remember);
                mediator_.setRememberCredentials(answer.remember);
            }
            submitLocked(answer.user, answer.password);
            record(WindowCall::Kind::Input, "scriptedProxySubmit", {answer.user, flag(answer.remember)});
        } else {
            cancelLocked();
            record(WindowCall::Kind::Input, "scriptedProxyCancel", {});
        }
        return;
    }
    if (!waitForAnswerLocked()) {
        ADD_FAILURE() << "the proxy sheet was not answered within " << answerTimeout_.count()
                      << " ms; answering Cancel. The calls so far:\n"
                      << describeCallsLocked();
        cancelLocked();
        record(WindowCall::Kind::Input, "timedOutProxyCancel", {});
    }
}

bool HeadlessWindow::waitForAnswerLocked() {
    const auto deadline = std::chrono::steady_clock::now() + answerTimeout_;
    while (!dialogAnswered_ && !windowSideClosed_) {
        if (!changed_.waitUntil(mutex_, deadline)) {
            return dialogAnswered_ || windowSideClosed_;
        }
    }
    return true;
}

void HeadlessWindow::submitLocked(const std::string& user, const std::string& password) {
    model_.setSheetFields(user, password);
    mediator_.submitCredentials(user, password);
    finishDialogLocked();
}

void HeadlessWindow::cancelLocked() {
    mediator_.cancelCredentials();
    finishDialogLocked();
}

void HeadlessWindow::answerQuitLocked(bool yes) {
    if (yes) {
        mediator_.confirmQuit();
    } else {
        mediator_.rejectQuit();
    }
    finishDialogLocked();
}

void HeadlessWindow::finishDialogLocked() {
    // The code is stored first, then the dialog goes, then the blocked call may return.
    model_.closeDialog();
    dialogAnswered_ = true;
    changed_.signalAll();
}

void HeadlessWindow::scriptProxySubmit(const std::string& user, const std::string& password, bool remember) {
    platform::MutexLock lock(mutex_);
    proxyScript_.push_back(ProxyAnswer{true, user, password, remember});
}

void HeadlessWindow::scriptProxyCancel() {
    platform::MutexLock lock(mutex_);
    proxyScript_.push_back(ProxyAnswer{});
}

void HeadlessWindow::scriptQuitAnswer(bool yes) {
    platform::MutexLock lock(mutex_);
    quitScript_.push_back(yes);
}

bool HeadlessWindow::answerProxy(const std::string& user, const std::string& password) {
    platform::MutexLock lock(mutex_);
    if (windowSideClosed_ || model_.dialog() != ScreenModel::Dialog::ProxySheet || dialogAnswered_) return false;
    submitLocked(user, password);
    record(WindowCall::Kind::Input, "answerProxy", {user});
    return true;
}

bool HeadlessWindow::cancelProxy() {
    platform::MutexLock lock(mutex_);
    if (windowSideClosed_ || model_.dialog() != ScreenModel::Dialog::ProxySheet || dialogAnswered_) return false;
    cancelLocked();
    record(WindowCall::Kind::Input, "cancelProxy", {});
    return true;
}

bool HeadlessWindow::answerQuit(bool yes) {
    platform::MutexLock lock(mutex_);
    if (windowSideClosed_ || model_.dialog() != ScreenModel::Dialog::QuitQuestion || dialogAnswered_) return false;
    answerQuitLocked(yes);
    record(WindowCall::Kind::Input, "answerQuit", {yes ? "yes" : "no"});
    return true;
}

bool HeadlessWindow::clickQuit() {
    platform::MutexLock lock(mutex_);
    const bool taken = !windowSideClosed_ && model_.acceptsClick(ScreenModel::Control::QuitButton);
    if (taken) mediator_.quit();
    record(WindowCall::Kind::Input, "clickQuit", {taken ? "posted" : "ignored"});
    return taken;
}

bool HeadlessWindow::clickRetry() {
    platform::MutexLock lock(mutex_);
    const bool taken = !windowSideClosed_ && model_.acceptsClick(ScreenModel::Control::RetryButton);
    if (taken) mediator_.retry();
    record(WindowCall::Kind::Input, "clickRetry", {taken ? "posted" : "ignored"});
    return taken;
}

bool HeadlessWindow::clickClose() {
    platform::MutexLock lock(mutex_);
    const bool taken = !windowSideClosed_ && model_.acceptsClick(ScreenModel::Control::CloseBox);
    if (taken) mediator_.quit();
    record(WindowCall::Kind::Input, "clickClose", {taken ? "posted" : "ignored"});
    return taken;
}

bool HeadlessWindow::toggleRemember(bool checked) {
    platform::MutexLock lock(mutex_);
    const bool taken = !windowSideClosed_ && model_.acceptsClick(ScreenModel::Control::RememberCheckBox);
    if (taken) {
        model_.setRememberChecked(checked);
        mediator_.setRememberCredentials(checked);
    }
    record(WindowCall::Kind::Input, "toggleRemember", {flag(checked), taken ? "posted" : "ignored"});
    return taken;
}

void HeadlessWindow::closeWindowSide() {
    platform::MutexLock lock(mutex_);
    if (windowSideClosed_) return;
    windowSideClosed_ = true;
    // A dialog still up goes without an answer, as when the dispatcher closes.
    model_.closeDialog();
    changed_.signalAll();
}

ScreenModel HeadlessWindow::model() const {
    platform::MutexLock lock(mutex_);
    return model_;
}

std::vector<WindowCall> HeadlessWindow::calls() const {
    platform::MutexLock lock(mutex_);
    return calls_;
}

bool HeadlessWindow::closeRequested() const {
    platform::MutexLock lock(mutex_);
    return closeRequested_;
}

std::size_t HeadlessWindow::callCount(const std::string& name) const {
    platform::MutexLock lock(mutex_);
    std::size_t count = 0;
    for (const auto& call : calls_) {
        if (call.kind == WindowCall::Kind::Window && call.name == name) ++count;
    }
    return count;
}

bool HeadlessWindow::waitFor(const Predicate& predicate, std::chrono::milliseconds timeout) const {
    platform::MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate(model_, calls_)) {
        if (!changed_.waitUntil(mutex_, deadline)) return predicate(model_, calls_);
    }
    return true;
}

bool HeadlessWindow::waitForClose(std::chrono::milliseconds timeout) const {
    platform::MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closeRequested_) {
        if (!changed_.waitUntil(mutex_, deadline)) return closeRequested_;
    }
    return true;
}

std::string HeadlessWindow::describeCalls() const {
    platform::MutexLock lock(mutex_);
    return describeCallsLocked();
}

std::string HeadlessWindow::describeCallsLocked() const {
    std::string text;
    for (const auto& call : calls_) {
        text += call.kind == WindowCall::Kind::Window ? "call  " : "input ";
        text += call.name;
        for (const auto& argument : call.arguments) text += " [" + argument + "]";
        text += "\n";
    }
    return text;
}

}  // namespace test_support
