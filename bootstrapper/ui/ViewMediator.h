// The seam between the workflow and the window: forwarders to the window, setters into the session.
#pragma once

#include <cstdint>
#include <string>

class UserActionSink;
class ZORUtils;
struct ZORViewHandles;

// Held by value in the facade, which fills the pointers on the main thread before the worker
// starts; none is owned. The setters run on the main thread (the window's input), the forwarders
// on the worker. With no controller in the view handles, every forwarder does nothing; with no
// session, every setter does nothing.
class ViewMediator {
public:
    ViewMediator() = default;

    void setSession(UserActionSink* session) { session_ = session; }
    void setUtils(ZORUtils* utils) { utils_ = utils; }
    void setViewHandles(ZORViewHandles* viewHandles) { viewHandles_ = viewHandles; }
    UserActionSink* session() const { return session_; }
    ZORUtils* utils() const { return utils_; }
    ZORViewHandles* viewHandles() const { return viewHandles_; }

    // Setters: user-action codes 2 to 7 and the remember flag.
    void quit();
    void submitCredentials(const std::string& user, const std::string& password);
    void cancelCredentials();
    void retry();
    void confirmQuit();
    void rejectQuit();
    void setRememberCredentials(bool remember);

    // Forwarders: texts are already resolved.
    void closeUI();
    void enableQuitButton(bool enabled);
    void showQuitConfirmation();
    void updateProgressTitle(const std::string& text);
    // The focus goes to the second button when its mode is 1 ("Download"), read here on the caller.
    void showFatalErrorScreen(const std::string& text, bool showLink);
    void showWarningErrorScreen(const std::string& text, bool showRetry);
    void showProgressScreen(const std::string& title, bool quitEnabled);
    void updateProgressPercent(float percent);
    void showProxyDialog(const std::string& title, const std::string& userLabel, const std::string& passwordLabel);
    void showButton2(bool show);

    // Mode 1 also titles the second button with the localized "Download" text (looked up on the
    // caller's thread); other modes leave its title as it is.
    void setButton2Mode(int32_t mode);
    int32_t getButton2Mode() const;

    static constexpr const char* kDownloadButtonKey = "$$$/ZOR/DownloadButton=Download";

private:
    UserActionSink* session_ = nullptr;
    ZORUtils* utils_ = nullptr;
    ZORViewHandles* viewHandles_ = nullptr;
};
