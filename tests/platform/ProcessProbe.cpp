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
