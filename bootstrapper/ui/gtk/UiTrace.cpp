// The GTK window's JSON-lines trace file.
#include "bootstrapper/ui/gtk/UiTrace.h"

#include "bootstrapper/ui/JsonText.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

UiTrace::UiTrace(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

UiTrace::~UiTrace() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<UiTrace> UiTrace::fromEnvironment() {
    const char* path = std::getenv("BOOTSTRAP_UI_TRACE");
    if (path == nullptr || *path == '\0') return nullptr;
    auto trace = std::make_unique<UiTrace>(path);
    if (!trace->ok()) return nullptr;
    return trace;
}

void UiTrace::write(const std::string& event, const std::string& fields) {
    std::string line = "{\"seq\":" + std::to_string(nextSequence_++) + ",\"event\":" + quote(event);
    if (!fields.empty()) line += "," + fields;
    line += "}\n";
    if (fd_ < 0) return;
    // One write for the whole line: readers polling the file see whole lines only.
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

std::string UiTrace::quote(const std::string& text) { return jsonQuoted(text); }
