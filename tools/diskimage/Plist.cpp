// Property lists written with pugixml, so every text is escaped.
#include "tools/diskimage/Plist.h"

#include <string>

#include <pugixml.hpp>

namespace diskimage {
namespace {

pugi::xml_node beginPlist(pugi::xml_document& document) {
    auto declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    auto plist = document.append_child("plist");
    plist.append_attribute("version") = "1.0";
    return plist.append_child("dict");
}

void addString(pugi::xml_node dict, const char* key, const std::string& value) {
    dict.append_child("key").text() = key;
    dict.append_child("string").text() = value.c_str();
}

void addInteger(pugi::xml_node dict, const char* key, unsigned long long value) {
    dict.append_child("key").text() = key;
    dict.append_child("integer").text() = std::to_string(value).c_str();
}

void addEntities(pugi::xml_node dict, const Attachment& attachment) {
    dict.append_child("key").text() = "system-entities";
    auto entity = dict.append_child("array").append_child("dict");
    addString(entity, "dev-entry", attachment.deviceEntry);
    addString(entity, "mount-point", attachment.mountPoint);
}

}  // namespace

void writeAttachPlist(std::ostream& out, const Attachment& attachment) {
    pugi::xml_document document;
    addEntities(beginPlist(document), attachment);
    document.save(out, "\t", pugi::format_default);
}

void writeInfoPlist(std::ostream& out, const std::vector<Attachment>& attachments) {
    pugi::xml_document document;
    auto root = beginPlist(document);
    root.append_child("key").text() = "images";
    auto images = root.append_child("array");
    for (const auto& attachment : attachments) {
        auto image = images.append_child("dict");
        addString(image, "image-path", attachment.imagePath);
        // The file itself, for callers that know a file by more than its name.
        if (attachment.imagePresent) {
            addInteger(image, "image-device", attachment.identity.device);
            addInteger(image, "image-inode", attachment.identity.inode);
        }
        addEntities(image, attachment);
    }
    document.save(out, "\t", pugi::format_default);
}

}  // namespace diskimage
