// A window for single-threaded workflow tests: it records each call and the user action standing
// when the call came; its dialogs return at once without an answer.
#pragma once

#include <string>
#include <vector>

#include "bootstrapper/app/ZORSessionProxy.h"
#include "bootstrapper/ui/IBootstrapWindow.h"

namespace test_support {

struct RecordedCall {
    std::string name;
    std::string text;
    bool flag = false;
    int32_t userActionAtCall = 0;
    bool focusSecondButton = false;  // the fatal screen's
};

class RecordingWindow : public IBootstrapWindow {
public:
    explicit RecordingWindow(const ZORSessionProxy& session) : session_(session) {}

    void closeUI() override { add("closeUI"); }
    void enableQuitButton(bool enabled) override { add("enableQuitButton", "", enabled); }
    void updateProgressTitle(const std::string& text) override { add("updateProgressTitle", text); }
    void showFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton) override {
        add("showFatalErrorScreen", text, showLink);
        calls.back().focusSecondButton = focusSecondButton;
    }
    void showWarningErrorScreen(const std::string& text, bool showRetry) override {
        add("showWarningErrorScreen", text, showRetry);
    }
    void showProgressScreen(const std::string& title, bool quitEnabled) override {
        add("showProgressScreen", title, quitEnabled);
    }
    void updateProgressPercent(float percent) override { add("updateProgressPercent", std::to_string(percent)); }
    void showButton2(bool show) override { add("showButton2", "", show); }
    void setButton2Text(const std::string& text) override { add("setButton2Text", text); }
    void showQuitConfirmation() override { add("showQuitConfirmation"); }
    void showProxyDialog(const std::string& title, const std::string&, const std::string&) override {
        add("showProxyDialog", title);
    }

    std::vector<RecordedCall> calls;

    bool called(const std::string& name) const {
        for (const RecordedCall& call : calls) {
            if (call.name == name) {
                return true;
            }
        }
        return false;
    }

private:
    void add(const std::string& name, const std::string& text = std::string(), bool flag = false) {
        calls.push_back({name, text, flag, session_.userAction.load()});
    }

    const ZORSessionProxy& session_;
};

}  // namespace test_support
