// The GTK window tests' shared set-up: Xvfb, GTK, resources and the helpers that wait on the trace.
#include "tests/bootstrapper/ui/gtk/GtkTestEnvironment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/bootstrapper/ui/gtk/XvfbDisplay.h"
#include "tests/support/TemporaryEnvironment.h"

namespace gtk_test {

Suite& suite() {
    static Suite instance;
    return instance;
}

namespace {

G_LOCK_DEFINE_STATIC(problems);
std::string gProblems;  // guarded by G_LOCK(problems): GLib may log from any thread

// Sees every message, structured or not, before GLib's own writer prints it.
GLogWriterOutput recordProblems(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    if ((level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0) {
        std::string domain = "?";
        std::string message;
        for (gsize i = 0; i < count; ++i) {
            const std::string key = fields[i].key;
            if (key != "GLIB_DOMAIN" && key != "MESSAGE") continue;
            const char* value = static_cast<const char*>(fields[i].value);
            const std::string text = fields[i].length < 0 ? std::string(value) : std::string(value, fields[i].length);
            (key == "MESSAGE" ? message : domain) = text;
        }
        G_LOCK(problems);
        gProblems += domain + ": " + message + "\n";
        G_UNLOCK(problems);
    }
    return g_log_writer_default(level, fields, count, nullptr);
}

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return in.good() && out.good();
}

std::string sourceFolder() {
    const char* source = std::getenv("PROJECT_SOURCE_DIR");
    return source != nullptr && *source != '\0' ? source : TEST_SOURCE_DIR;
}

class GtkEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        Suite& s = suite();
        xvfb_ = std::make_unique<XvfbDisplay>();
        if (!xvfb_->running()) {
            s.skipReason = xvfb_->skipReason();
            return;
        }
        xvfb_->applyEnvironment();
        s.base = test_support::makeTemporaryFolder("bootstrapper-gtk");
        g_log_set_writer_func(recordProblems, nullptr, nullptr);
        // GTK reads its settings and caches under the home folder: a fresh one, not the user's.
        const std::string home = s.base + "/home";
        ::mkdir(home.c_str(), 0700);
        ::setenv("HOME", home.c_str(), 1);
        for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) ::unsetenv(variable);

        // Never a real browser: a recording xdg-open comes first on PATH.
        const std::string bin = s.base + "/bin";
        ::mkdir(bin.c_str(), 0700);
        s.openerLog = s.base + "/opened.txt";
        {
            std::ofstream opener(bin + "/xdg-open");
            opener << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << s.openerLog << "'\n";
        }
        ::chmod((bin + "/xdg-open").c_str(), 0755);
        const char* path = std::getenv("PATH");
        ::setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);

        s.resources = makeResourcesFolder(s.base, true);
        // The string tables, built from their sources by the build's own tool.
        const std::string dictionary = s.resources + "/Dictionary";
        ::mkdir(dictionary.c_str(), 0700);
        for (const char* locale : {"en_US", "fr_FR", "ja_JP"}) {
            const std::string folder = dictionary + "/" + locale;
            ::mkdir(folder.c_str(), 0700);
            runProgram({STRINGTABLE_TOOL, "2.1",
                        sourceFolder() + "/bootstrapper/resources/Dictionary/" + locale + "/stringTable.txt",
                        folder + "/stringTable.zdct"});
        }
        ::setenv("BOOTSTRAP_RESOURCES_FOLDER", s.resources.c_str(), 1);
        s.closeRequestTool = SEND_CLOSE_REQUEST_TOOL;

        int argc = 1;
        char name[] = "bootstrapper_gtk_window_test";
        char* args[] = {name, nullptr};
        char** argv = args;
        if (!gtk_init_check(&argc, &argv)) {
            s.skipReason = "GTK cannot open the Xvfb display " + xvfb_->display();
            return;
        }
        s.ready = true;
    }

    void TearDown() override {
        if (!suite().base.empty()) test_support::removeTree(suite().base);
        xvfb_.reset();
    }

private:
    std::unique_ptr<XvfbDisplay> xvfb_;
};

[[maybe_unused]] ::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

}  // namespace

std::string takeGtkProblems() {
    G_LOCK(problems);
    std::string problems;
    problems.swap(gProblems);
    G_UNLOCK(problems);
    return problems;
}

std::string makeResourcesFolder(const std::string& parent, bool withIcons) {
    static int counter = 0;
    const std::string folder = parent + "/resources" + std::to_string(++counter);
    ::mkdir(folder.c_str(), 0700);
    const std::string source = sourceFolder() + "/bootstrapper/resources/";
    copyFile(source + "MainWindow.ui", folder + "/MainWindow.ui");
    if (withIcons) {
        copyFile(source + "Warning16x16.png", folder + "/Warning16x16.png");
        copyFile(source + "Warning32x32.png", folder + "/Warning32x32.png");
    }
    return folder;
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    // A tick wakes the blocking iteration, so done() is asked again even when no event comes.
    const guint tick = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool reached = done();
    while (!reached && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        reached = done();
    }
    g_source_remove(tick);
    return reached;
}

int runPumping(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    bool ended = false;
    pumpUntil([&] {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        return ended;
    });
    if (!ended) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<std::string> TraceReader::waitFor(const std::vector<std::string>& needles) {
    std::optional<std::string> found;
    pumpUntil([&] {
        const std::vector<std::string> lines = readLines(path_);
        for (std::size_t i = next_; i < lines.size(); ++i) {
            bool all = true;
            for (const std::string& needle : needles) all = all && lines[i].find(needle) != std::string::npos;
            if (all) {
                found = lines[i];
                next_ = i + 1;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::string jsonValue(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":";
    const auto at = line.find(marker);
    if (at == std::string::npos) return {};
    std::size_t start = at + marker.size();
    if (start < line.size() && line[start] == '"') {
        std::size_t end = start + 1;
        while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
        return line.substr(start + 1, end - start - 1);
    }
    std::size_t end = start;
    while (end < line.size() && line[end] != ',' && line[end] != '}' && line[end] != ']') ++end;
    return line.substr(start, end - start);
}

std::optional<std::array<int, 4>> tracedRect(const std::string& line, const std::string& outlet) {
    const std::string marker = "\"" + outlet + "\":[";
    const auto at = line.find(marker);
    if (at == std::string::npos) return std::nullopt;
    std::array<int, 4> rect{};
    std::istringstream in(line.substr(at + marker.size()));
    char comma = 0;
    in >> rect[0] >> comma >> rect[1] >> comma >> rect[2] >> comma >> rect[3];
    if (!in) return std::nullopt;
    return rect;
}

std::string tracedWindow(const std::string& line, const std::string& window) {
    const auto at = line.find("\"windows\":{");
    if (at == std::string::npos) return {};
    return jsonValue(line.substr(at), window);
}

int pressKey(const std::string& xid, const std::string& key) {
    return runPumping({"xdotool", "windowfocus", "--sync", xid, "key", "--clearmodifiers", key});
}

int typeText(const std::string& xid, const std::string& text) {
    return runPumping({"xdotool", "windowfocus", "--sync", xid, "type", "--delay", "5", text});
}

int clickAt(const std::array<int, 4>& rect) {
    return runPumping({"xdotool", "mousemove", "--sync", std::to_string(rect[0] + rect[2] / 2),
                       std::to_string(rect[1] + rect[3] / 2), "click", "1"});
}

}  // namespace gtk_test
