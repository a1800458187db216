// The program's --key=value arguments as a map of named values.
#pragma once

#include <map>
#include <string>

namespace ZEZUUtils {

class CommandLineParser {
public:
    CommandLineParser() = default;
    CommandLineParser(const CommandLineParser&) = delete;
    CommandLineParser& operator=(const CommandLineParser&) = delete;

    // argv[0] is never parsed; "-psn..." arguments are ignored; malformed or repeated
    // arguments are reported and skipped. False only when argc is below 1. Values are kept
    // exactly as given: they later become process arguments, passed without any shell.
    bool parseCommandLineArguments(int argc, char** argv);
    // False, with value unchanged, when the key (compared exactly) was not given.
    bool getValueForArgument(const std::string& key, std::string& value) const;

    // A zezu::Logger as an untyped pointer; NULL routes messages to the process-wide hooks.
    void* logger = nullptr;

private:
    std::map<std::string, std::string> arguments_;
};

}  // namespace ZEZUUtils
