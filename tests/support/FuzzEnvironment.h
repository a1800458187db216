// One temporary HOME and local root for a whole fuzzing process, and inputs written as files there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/TemporaryEnvironment.h"

namespace test_support {

// Made on first use and kept for the process: one folder per input would slow the run down.
inline const TemporaryEnvironment& fuzzEnvironment() {
    static const TemporaryEnvironment environment;
    return environment;
}

// Writes the input whole to name under the temporary folder and returns the file's path.
inline std::string writeFuzzInput(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = fuzzEnvironment().base() + "/" + name;
    // A fresh file each time: truncating one makes ext4 flush it to disk on close, a hundredfold slower.
    std::remove(path.c_str());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

// A property every input must keep; a broken one stops the run as a crash would, with its input saved.
inline void fuzzCheck(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace test_support
