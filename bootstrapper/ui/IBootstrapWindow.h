// The window as the workflow sees it: one call per view-mediator forwarder, texts already resolved.
#pragma once

#include <string>

class IBootstrapWindow {
public:
    virtual ~IBootstrapWindow() = default;

    // Non-blocking: each returns at once.
    virtual void closeUI() = 0;
    virtual void enableQuitButton(bool enabled) = 0;
    virtual void updateProgressTitle(const std::string& text) = 0;
    virtual void showFatalErrorScreen(const std::string& text, bool showLink, bool focusSecondButton) = 0;
    virtual void showWarningErrorScreen(const std::string& text, bool showRetry) = 0;
    virtual void showProgressScreen(const std::string& title, bool quitEnabled) = 0;
    virtual void updateProgressPercent(float percent) = 0;
    virtual void showButton2(bool show) = 0;
    virtual void setButton2Text(const std::string& text) = 0;

    // Blocking: each returns once the user answered (the answer's code is stored first) or once
    // the window side closed (then nothing is stored).
    virtual void showQuitConfirmation() = 0;
    virtual void showProxyDialog(const std::string& title, const std::string& userLabel,
                                 const std::string& passwordLabel) = 0;
};
