// libFuzzer target: any bytes as a command line (arguments split at NUL), parsed, then every key looked up.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "foundation/utils/CommandLineParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"bootstrapper"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    ZEZUUtils::CommandLineParser parser;
    if (!parser.parseCommandLineArguments(static_cast<int>(arguments.size()), argv.data())) std::abort();
    // What the parser must hold: the first value of each well-formed "--key=value".
    std::map<std::string, std::string> expected;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const size_t equals = argument.find('=');
        if (argument.compare(0, 4, "-psn") == 0 || equals == std::string::npos || argument.compare(0, 2, "--") != 0 ||
            equals <= 2 || equals + 1 == argument.size())
            continue;
        expected.emplace(argument.substr(2, equals - 2), argument.substr(equals + 1));
    }
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        for (const std::string& key : {argument, argument.substr(0, argument.find('=')),
                                       argument.size() > 2 ? argument.substr(2, argument.find('=') - 2) : argument}) {
            std::string value = "unchanged";
            const bool found = parser.getValueForArgument(key, value);
            const auto it = expected.find(key);
            if (found != (it != expected.end()) || (found ? value != it->second : value != "unchanged")) {
                std::fprintf(stderr, "the parser's value for \"%s\" is not the first one given\n", key.c_str());
                std::abort();
            }
        }
    }
    return 0;
}
