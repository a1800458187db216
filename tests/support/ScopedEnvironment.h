// Environment variables set or unset for one scope, their old values put back when it ends.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    // Sets one variable, or unsets it for a null value.
    ScopedEnvironment(const char* name, const char* value) {
        if (value != nullptr) {
            set(name, value);
        } else {
            unset(name);
        }
    }
    ScopedEnvironment(const std::string& name, const std::string& value) { set(name, value); }
    // Restored last-changed first, so a variable changed twice gets its first old value.
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& name, const std::string& value) {
        remember(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        ::unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace test_support
