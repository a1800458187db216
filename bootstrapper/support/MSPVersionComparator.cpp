// MSPVersionComparator: version files read with the XML parser, versions compared part by part.
#include "bootstrapper/support/MSPVersionComparator.h"

#include <locale>
#include <sstream>

#include "foundation/utils/XMLParser.h"

MSPVersionComparator::MSPVersionComparator() : logger_("ZOR", "", "Download", "ZOR", "MSPVersionComparator") {}

bool MSPVersionComparator::getInstalledVersion(const std::string& folder, std::string& version) {
    ZEZUUtils::XMLParser parser;
    std::string value;
    if (!parser.initWithXMLPath(folder + "/" + kVersionFileName) || !parser.stringValueForXQuery(kVersionQuery, value)) {
        logger_.log(zezu::ERROR, "", "", "Failed to get MSP version installed in the machine.");
        return false;
    }
    version = value;
    return true;
}

bool MSPVersionComparator::compare(const std::string& installed, const std::string& downloaded) {
    std::vector<std::string> installedParts;
    std::vector<std::string> downloadedParts;
    split(installed, installedParts, ".");
    split(downloaded, downloadedParts, ".");
    if (installedParts.size() != 4 || downloadedParts.size() != 4) {
        logger_.log(zezu::ERROR, "", "",
                    "The version string is not in proper format.Number of version substrings obtained is not equal "
                    "to 4.");
        return false;
    }
    int installedNumbers[4] = {};
    int downloadedNumbers[4] = {};
    for (int i = 0; i < 8; ++i) {
        const bool ok = i < 4 ? toInteger(installedParts[i], installedNumbers[i])
                              : toInteger(downloadedParts[i - 4], downloadedNumbers[i - 4]);
        if (!ok) {
            logger_.log(zezu::ERROR, "", "", "Error in obtaining integer from supplied string.");
            return false;
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (downloadedNumbers[i] != installedNumbers[i]) return downloadedNumbers[i] > installedNumbers[i];
    }
    return false;
}

bool MSPVersionComparator::split(const std::string& text, std::vector<std::string>& parts,
                                 const std::string& delimiters) {
    parts.clear();
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto found = text.find_first_of(delimiters, start);
        if (found == std::string::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, found - start));
        start = found + 1;
    }
    return true;
}

bool MSPVersionComparator::toInteger(const std::string& text, int& value) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());  // no digit grouping from a global locale
    int read = 0;
    if (!(in >> read)) return false;
    value = read;
    return true;
}
