// A child program for the launcher tests: reports what it was given and how it runs.
#include "platform/Bundle.h"
#include "platform/DiskImageTool.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    if (mode == "exit" && argc == 3) return std::atoi(argv[2]);
    if (mode == "signal" && argc == 3) {
        raise(std::atoi(argv[2]));
        return 0;
    }
    if (mode == "echo") {
        // Each argument as it arrived, NUL-terminated.
        for (int i = 2; i < argc; ++i) fwrite(argv[i], 1, std::strlen(argv[i]) + 1, stdout);
        return 0;
    }
    if (mode == "record" && argc >= 3) {
        // The arguments after the file name, NUL-terminated, into that file.
        FILE* out = fopen(argv[2], "w");
        if (!out) return 3;
        for (int i = 3; i < argc; ++i) fwrite(argv[i], 1, std::strlen(argv[i]) + 1, out);
        return fclose(out) == 0 ? 0 : 4;
    }
    if (mode == "bulk" && argc == 3) {
        std::string block(1024, 'x');
        for (long i = 0; i < std::atol(argv[2]); ++i) fwrite(block.data(), 1, block.size(), stdout);
        return 0;
    }
    if (mode == "bulk-both" && argc == 3) {
        // Far more than a pipe holds, on both streams.
        std::string block(1024, 'y');
        for (long i = 0; i < std::atol(argv[2]); ++i) {
            if (fwrite(block.data(), 1, block.size(), stdout) != block.size()) return 5;
            if (fwrite(block.data(), 1, block.size(), stderr) != block.size()) return 6;
        }
        return 0;
    }
    if (mode == "where" && argc == 3) {
        // The working folder and what standard output and error are, one a line.
        std::string report;
        char buffer[4096];
        if (!getcwd(buffer, sizeof buffer)) return 3;
        report += std::string(buffer) + "\n";
        for (const char* link : {"/proc/self/fd/1", "/proc/self/fd/2"}) {
            ssize_t n = readlink(link, buffer, sizeof buffer - 1);
            report += (n < 0 ? std::string("-") : std::string(buffer, static_cast<size_t>(n))) + "\n";
        }
        std::string temporary = std::string(argv[2]) + ".part";
        FILE* out = fopen(temporary.c_str(), "w");
        if (!out) return 3;
        fwrite(report.data(), 1, report.size(), out);
        fclose(out);
        return rename(temporary.c_str(), argv[2]) == 0 ? 0 : 4;
    }
    if (mode == "fds") {
        for (int fd = 3; fd < 256; ++fd)
            if (fcntl(fd, F_GETFD) != -1) printf("%d\n", fd);
        return 0;
    }
    if (mode == "session" && argc == 3) {
        // Written to a temporary name first so the test never reads half a file.
        std::string temporary = std::string(argv[2]) + ".part";
        FILE* out = fopen(temporary.c_str(), "w");
        if (!out) return 3;
        fprintf(out, "%d", getsid(0) == getpid() ? 1 : 0);
        fclose(out);
        return rename(temporary.c_str(), argv[2]) == 0 ? 0 : 4;
    }
    if (mode == "bundle") {
        printf("%s\n", platform::launchedItemPath().value_or("-").c_str());
        printf("%s\n", platform::bundleResourcesFolder().value_or("-").c_str());
        printf("%s\n", platform::bundleResourcePath("Dictionary", "").value_or("-").c_str());
        printf("%s\n", platform::diskImageToolPath().c_str());
        return 0;
    }
    return 2;
}
