// Command-line string-table writer: builds tables from UTF-8 "key=value" sources, or fuzzing seeds.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "localization/KeyString.h"
#include "localization/Markup.h"
#include "localization/TextEncoding.h"
#include "tools/stringtable/StringTableWriter.h"

namespace {

const char kUsage[] =
    "usage: stringtable FORMAT SOURCE OUTPUT   FORMAT: text, 1.0, 1.5, 2.0, 2.1 or 2.1-big\n"
    "       stringtable seeds FOLDER            writes a sample table in every format\n"
    "SOURCE holds UTF-8 lines \"[$$$]key=value\"; values are markup, expanded for binary tables.\n";

bool readSource(const std::string& path, std::vector<stringtable::Entry>& entries) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "stringtable: cannot open " << path << "\n";
        return false;
    }
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        auto parts = quirra_private::splitKeyString(line.data(), line.size());
        std::u16string value;
        if (!parts || !quirra_private::decodeUtf8Strict(reinterpret_cast<const uint8_t*>(line.data()) + parts->valueBegin,
                                                        parts->valueLength, value)) {
            std::cerr << "stringtable: " << path << ":" << number << ": not a \"key=value\" line in UTF-8\n";
            return false;
        }
        entries.push_back({line.substr(parts->keyBegin, parts->keyLength), value});
    }
    if (in.bad()) {
        std::cerr << "stringtable: cannot read " << path << "\n";
        return false;
    }
    return true;
}

std::vector<stringtable::Entry> expanded(std::vector<stringtable::Entry> entries) {
    for (auto& entry : entries) entry.value = std::u16string(quirra_private::expandMarkup(entry.value.data(), entry.value.size()).view());
    return entries;
}

bool build(const std::string& format, const std::vector<stringtable::Entry>& source, std::string& table) {
    if (format == "text") {
        table = stringtable::writeTextTable(source);
    } else if (format == "1.0") {
        table = stringtable::writeVersion1_0(expanded(source));
    } else if (format == "1.5") {
        table = stringtable::writeVersion1_5(expanded(source));
    } else if (format == "2.0" || format == "2.1" || format == "2.1-big") {
        stringtable::Version2Options options;
        options.minor = format == "2.0" ? 0 : 1;
        options.bigEndian = format == "2.1-big";
        table = stringtable::writeVersion2(expanded(source), options);
    } else {
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    // Written beside the target and renamed, so a failed write never leaves half a table.
    const std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            std::cerr << "stringtable: cannot write " << path << "\n";
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        std::cerr << "stringtable: cannot write " << path << "\n";
        return false;
    }
    return true;
}

int writeSeeds(const std::string& folder) {
    const std::vector<stringtable::Entry> sample = {
        {"/ZOR/Title", u"Install"},
        {"/ZOR/AdminError", u"Administrator privileges are required."},
        {"/ZOR/Quote", u"say \"hi\"\nand #{amp} ^C"},
        {"/ZOR/Accents", u"\u00e9t\u00e9 \u20ac"},
        {"Key", u""},
        {"/ZOR/LongerKeyThatSamplesEveryFifth", u"x"},
    };
    struct Seed {
        const char* name;
        std::string bytes;
    };
    stringtable::Version2Options v20;
    v20.minor = 0;
    stringtable::Version2Options big;
    big.bigEndian = true;
    big.extraRecord = true;
    stringtable::Version2Options keyless;
    keyless.keys = false;
    const std::vector<Seed> seeds = {
        {"text.zdct", stringtable::writeTextTable(sample)},
        {"v1_0_utf16.zdct", stringtable::writeVersion1_0(sample, 0)},
        {"v1_0_utf8.zdct", stringtable::writeVersion1_0(sample, 1)},
        {"v1_0_system.zdct", stringtable::writeVersion1_0(sample, 2)},
        {"v1_5_utf16.zdct", stringtable::writeVersion1_5(sample, 0, 0)},
        {"v1_5_bom_little.zdct", stringtable::writeVersion1_5(sample, 0, 2)},
        {"v1_5_utf8.zdct", stringtable::writeVersion1_5(sample, 1)},
        {"v2_0.zdct", stringtable::writeVersion2(sample, v20)},
        {"v2_1_little.zdct", stringtable::writeVersion2(sample)},
        {"v2_1_big_extra.zdct", stringtable::writeVersion2(sample, big)},
        {"v2_1_keyless.zdct", stringtable::writeVersion2(sample, keyless)},
        {"short_8bit.zdct", "\"A=B\"\n"},
    };
    for (const Seed& seed : seeds) {
        if (!writeFile(folder + "/" + seed.name, seed.bytes)) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "seeds") return writeSeeds(args[1]);
    if (args.size() != 3) {
        std::cerr << kUsage;
        return 2;
    }
    std::vector<stringtable::Entry> source;
    if (!readSource(args[1], source)) return 1;
    std::string table;
    try {
        if (!build(args[0], source, table)) {
            std::cerr << kUsage;
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << "stringtable: " << error.what() << "\n";
        return 1;
    }
    return writeFile(args[2], table) ? 0 : 1;
}
