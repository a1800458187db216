// Reading the test server's answers about a path without a JSON library.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/download/HttpTestServer.h"

namespace engine_test {

// The whole number under "key" in the flat JSON object text, or -1 when it is not there.
inline int64_t jsonNumber(const std::string& text, const std::string& key) {
    const size_t at = text.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + key.size() + 3, nullptr, 10);
}

// A number of the server's info about path: "requests", "bytes_sent", "pending", "size".
inline int64_t serverInfo(test_support::HttpTestServer& server, const std::string& path, const std::string& key) {
    return jsonNumber(server.info(path), key);
}

}  // namespace engine_test
