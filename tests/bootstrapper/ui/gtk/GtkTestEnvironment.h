// What the GTK window tests share: one private X server a process, a resources folder with the
// window description, icons and built string tables, a recording browser opener, and helpers
// that pump the main loop while they wait on the trace.
#pragma once

#include <gtk/gtk.h>

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "tests/bootstrapper/ui/RecordingActionSink.h"
#include "tests/support/FileContents.h"

namespace gtk_test {

using namespace std::chrono_literals;

// Only ever reached by a failing test.
constexpr auto kBound = std::chrono::seconds(30);

struct Suite {
    bool ready = false;
    std::string skipReason;
    std::string base;       // removed at the end
    std::string resources;  // BOOTSTRAP_RESOURCES_FOLDER: MainWindow.ui, icons, Dictionary
    std::string openerLog;  // one line per address the recording xdg-open was given
    std::string closeRequestTool;
};
Suite& suite();

// GLib and GTK criticals and warnings logged since the last call, one a line; empty when none.
// A window that logs one has misused GTK (a refused draw, a bad cast), even if it looked right.
std::string takeGtkProblems();

// A resources folder of the test's own: the window description, and the icons only when asked.
std::string makeResourcesFolder(const std::string& parent, bool withIcons);

// Pumps the default main context until done() holds; false after kBound.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = kBound);
// Runs a program while the main loop keeps being served (xdotool waits on our window); its exit
// status, or -1.
int runPumping(const std::vector<std::string>& argv);

using test_support::readFile;
using test_support::readLines;

// The trace of one controller, read as it grows.
class TraceReader {
public:
    explicit TraceReader(std::string path) : path_(std::move(path)) {}
    // Pumps until a line after the last one matched holds every needle; that line, or nullopt.
    std::optional<std::string> waitFor(const std::vector<std::string>& needles);
    // The whole trace so far, for failure messages.
    std::string text() const { return readFile(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::size_t next_ = 0;
};

// Raw JSON value text after "key": in line (number, literal, or up to the closing quote).
std::string jsonValue(const std::string& line, const std::string& key);
// The [x,y,width,height] traced for an outlet; nullopt when null or missing.
std::optional<std::array<int, 4>> tracedRect(const std::string& line, const std::string& outlet);
// A window's traced XID ("main", "sheet", "question").
std::string tracedWindow(const std::string& line, const std::string& window);

// xdotool: focus the window (and wait for it), then press a key or type text.
int pressKey(const std::string& xid, const std::string& key);
int typeText(const std::string& xid, const std::string& text);
int clickAt(const std::array<int, 4>& rect);

using RecordingSink = test_support::RecordingActionSink;

}  // namespace gtk_test
