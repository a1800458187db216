// The program's --key=value arguments as a map of named values.
#include "foundation/utils/CommandLineParser.h"

#include "foundation/utils/UtilsLogging.h"

namespace ZEZUUtils {

namespace {
constexpr const char* kClassName = "CommandLineParser";
}

bool CommandLineParser::parseCommandLineArguments(int argc, char** argv) {
    logMessage(logger, zezu::INFO,
               kClassName, "Parsing the command line provided. Number of command line arguments is %d", argc);
    if (argc < 1 || !argv) {
        logMessage(logger, zezu::ERROR, kClassName,
                   "Argument count is zero. There should be at least one i.e. name of application.");
        return false;
    }
    logMessage(logger, zezu::DEBUG, kClassName,
               "First command line argument is %s, Assuming the first argument to be executable address ignoring it.",
               argv[0] ? argv[0] : "");
    for (int i = 1; i < argc; ++i) {
        if (!argv[i])
            continue;
        const std::string argument = argv[i];
        logMessage(logger, zezu::DEBUG, kClassName, "Argument specified is %s", argument.c_str());
        if (argument.compare(0, 4, "-psn") == 0)
            continue;  // the launcher's process serial number
        const size_t equals = argument.find('=');
        if (equals == std::string::npos) {
            logMessage(logger, zezu::ERROR, kClassName, "The argument does not contain any \"=\"");
            continue;
        }
        const std::string keyPart = argument.substr(0, equals);
        if (keyPart.compare(0, 2, "--") != 0) {
            logMessage(logger, zezu::ERROR, kClassName,
                       "The \"--\" is not there for the argument. Every argument should have \"--\"");
            continue;
        }
        const std::string key = keyPart.substr(2);
        const std::string value = argument.substr(equals + 1);
        if (key.empty() || value.empty()) {
            logMessage(logger, zezu::ERROR, kClassName, "The argument key or value is empty for %s", argument.c_str());
            continue;
        }
        if (!arguments_.emplace(key, value).second)
            logMessage(logger, zezu::ERROR, kClassName, "The argument %s already sepecified", key.c_str());
    }
    return true;
}

bool CommandLineParser::getValueForArgument(const std::string& key, std::string& value) const {
    auto found = arguments_.find(key);
    if (found == arguments_.end())
        return false;
    value = found->second;
    return true;
}

}  // namespace ZEZUUtils
