// The session record's stand-in for window tests: every code the window posts, in order, from any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "bootstrapper/ui/UserActionSink.h"
#include "platform/Mutex.h"

namespace test_support {

class RecordingActionSink : public UserActionSink {
public:
    void quit() override { add("quit"); }
    void submitCredentials(const std::string& user, const std::string& password) override {
        add("submit " + user + " " + password);
    }
    void cancelCredentials() override { add("cancel"); }
    void retry() override { add("retry"); }
    void confirmQuit() override { add("confirmQuit"); }
    void rejectQuit() override { add("rejectQuit"); }
    void setRememberCredentials(bool remember) override { add(remember ? "remember on" : "remember off"); }

    std::vector<std::string> actions() const {
        platform::MutexLock lock(mutex_);
        return actions_;
    }

private:
    void add(std::string action) {
        platform::MutexLock lock(mutex_);
        actions_.push_back(std::move(action));
    }
    mutable platform::Mutex mutex_;
    std::vector<std::string> actions_ GUARDED_BY(mutex_);
};

}  // namespace test_support
