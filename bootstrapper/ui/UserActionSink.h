// Where the window's answers go: the session record implements this, so the window side never
// depends on the application layer.
#pragma once

#include <string>

class UserActionSink {
public:
    virtual ~UserActionSink() = default;

    virtual void quit() = 0;
    virtual void submitCredentials(const std::string& user, const std::string& password) = 0;
    virtual void cancelCredentials() = 0;
    virtual void retry() = 0;
    virtual void confirmQuit() = 0;
    virtual void rejectQuit() = 0;
    virtual void setRememberCredentials(bool remember) = 0;
};
