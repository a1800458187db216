// A window without a toolkit for tests: a screen model, a call log, clicks and dialog answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "bootstrapper/ui/IBootstrapWindow.h"
#include "bootstrapper/ui/ScreenModel.h"
#include "bootstrapper/ui/WindowTexts.h"
#include "platform/Mutex.h"

class ViewMediator;

namespace test_support {

// One entry of the log: a call of the worker (kind Window) or an input of the test (kind Input:
// "clickQuit", "answerProxy", "scriptedQuitAnswer", ...). Flags are "true"/"false", the percent
// is its shortest decimal form; the sheet's password is never logged.
struct WindowCall {
    enum class Kind { Window, Input };
    Kind kind = Kind::Window;
    std::string name;
    std::vector<std::string> arguments;
};

// Stands in for the GTK window: the worker calls it, the test thread plays the main thread.
// Every input goes through the real mediator setters, under the window's mutex, so an input and
// the worker's calls are ordered as on a main loop, and a click the model would not take posts
// nothing. The two blocking calls take the oldest scripted answer queued for them; with none
// queued they wait for the test thread to answer (answerProxy, cancelProxy, answerQuit). If no
// answer comes within the answer timeout, the test fails and the window answers Cancel or No,
// so no test hangs. Either way the code is stored before the call returns.
class HeadlessWindow : public IBootstrapWindow {
public:
    using Predicate = std::function<bool(const ScreenModel& model, const std::vector<WindowCall>& calls)>;

    explicit HeadlessWindow(ViewMediator& mediator, WindowTexts texts = WindowTexts::defaults(),
                            std::chrono::milliseconds answerTimeout = std::chrono::seconds(60));
    ~HeadlessWindow() override;
    HeadlessWindow(const HeadlessWindow&) = delete;
    HeadlessWindow& operator=(const HeadlessWindow&) = delete;

    // IBootstrapWindow, called on the worker.
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

    // Scripted answers, queued in advance and taken in order by the next showings.
    void scriptProxySubmit(const std::string& user, const std::string& password, bool remember);
    void scriptProxyCancel();
    void scriptQuitAnswer(bool yes);

    // Interactive answers: each answers the dialog that is up now and returns true, or returns
    // false (posting nothing) when that dialog is not up. answerProxy types the fields, keeping
    // the check box as it is; tick it first with toggleRemember.
    bool answerProxy(const std::string& user, const std::string& password);
    bool cancelProxy();
    bool answerQuit(bool yes);

    // Clicks: true when the model took the click and its code was posted.
    bool clickQuit();
    bool clickRetry();
    bool clickClose();
    bool toggleRemember(bool checked);  // only while the sheet is up

    // The window side closed (as when the dispatcher closes): every blocking call, waiting or
    // later, returns at once without storing a code. The destructor does this too.
    void closeWindowSide();

    ScreenModel model() const;
    std::vector<WindowCall> calls() const;
    bool closeRequested() const;
    // Calls of the worker with this name so far.
    std::size_t callCount(const std::string& name) const;

    // Waits until the predicate, evaluated under the window's mutex after every change, holds;
    // false when the timeout passed first.
    bool waitFor(const Predicate& predicate, std::chrono::milliseconds timeout) const;
    bool waitForClose(std::chrono::milliseconds timeout) const;
    // The log, one line a call, for a failing test's message.
    std::string describeCalls() const;

private:
    struct ProxyAnswer {
        bool submit = false;
        std::string user;
        std::string password;
        bool remember = false;
    };

    void record(WindowCall::Kind kind, std::string name, std::vector<std::string> arguments) REQUIRES(mutex_);
    void submitLocked(const std::string& user, const std::string& password) REQUIRES(mutex_);
    void cancelLocked() REQUIRES(mutex_);
    void answerQuitLocked(bool yes) REQUIRES(mutex_);
    void finishDialogLocked() REQUIRES(mutex_);
    std::string describeCallsLocked() const REQUIRES(mutex_);
    // Waits, with the dialog up, until the test thread answers it or the window side closes.
    bool waitForAnswerLocked() REQUIRES(mutex_);

    ViewMediator& mediator_;
    const std::chrono::milliseconds answerTimeout_;
    mutable platform::Mutex mutex_;
    mutable platform::CondVar changed_;
    ScreenModel model_ GUARDED_BY(mutex_);
    std::vector<WindowCall> calls_ GUARDED_BY(mutex_);
    std::deque<ProxyAnswer> proxyScript_ GUARDED_BY(mutex_);
    std::deque<bool> quitScript_ GUARDED_BY(mutex_);
    bool dialogAnswered_ GUARDED_BY(mutex_) = false;
    bool closeRequested_ GUARDED_BY(mutex_) = false;
    bool windowSideClosed_ GUARDED_BY(mutex_) = false;
};

}  // namespace test_support
