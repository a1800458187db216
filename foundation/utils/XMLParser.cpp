// One XML document: parsed from a file or text, queried with location paths, walked through
// parser-owned node handles, extended, and rendered.
#include "foundation/utils/XMLParser.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sstream>

#include "foundation/utils/FileUtils.h"
#include "foundation/utils/TextEncoding.h"
#include "foundation/utils/UtilsLogging.h"

namespace ZEZUUtils {

struct XMLParser::NodeList {
    std::vector<pugi::xml_node_struct*> nodes;
};

namespace {

// Comments, processing instructions and the declaration are kept: node texts show
// comments, and the declaration carries the encoding. parse_fragment keeps text outside
// the root element as nodes, so trailing content can be refused instead of dropped.
// Without parse_doctype a DTD is skipped, and pugixml never resolves external entities.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration | pugi::parse_fragment;

const char* const kIndent = "    ";

pugi::xml_node nodeOf(void* handle) { return pugi::xml_node(static_cast<pugi::xml_node_struct*>(handle)); }

void* handleOf(pugi::xml_node node) { return node.internal_object(); }

bool isValidUtf16(const unsigned char* data, size_t size, bool bigEndian) {
    if (size % 2 != 0)
        return false;
    for (size_t i = 0; i < size; i += 2) {
        unsigned unit = bigEndian ? (data[i] << 8 | data[i + 1]) : (data[i + 1] << 8 | data[i]);
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= size)
                return false;
            unsigned next = bigEndian ? (data[i + 2] << 8 | data[i + 3]) : (data[i + 3] << 8 | data[i + 2]);
            if (next < 0xDC00 || next > 0xDFFF)
                return false;
            i += 2;
        }
    }
    return true;
}

bool isValidUtf32(const unsigned char* data, size_t size, bool bigEndian) {
    if (size % 4 != 0)
        return false;
    for (size_t i = 0; i < size; i += 4) {
        uint32_t c = bigEndian ? (uint32_t{data[i]} << 24 | data[i + 1] << 16 | data[i + 2] << 8 | data[i + 3])
                               : (uint32_t{data[i + 3]} << 24 | data[i + 2] << 16 | data[i + 1] << 8 | data[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
    }
    return true;
}

// pugixml converts UTF-16, UTF-32 and declared Latin-1 to UTF-8 but checks none of them;
// it would pass bad UTF-8 through and silently drop broken UTF-16.
bool hasValidEncoding(const std::string& data, pugi::xml_encoding encoding) {
    auto bytes = reinterpret_cast<const unsigned char*>(data.data());
    switch (encoding) {
    case pugi::encoding_utf8:
        return text::isValidUtf8(data);
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be:
        return isValidUtf16(bytes, data.size(), encoding == pugi::encoding_utf16_be);
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be:
        return isValidUtf32(bytes, data.size(), encoding == pugi::encoding_utf32_be);
    case pugi::encoding_latin1:
        return true;
    default:
        return false;
    }
}

// True when every "&" of the raw (unescaped) text starts a reference XML predefines.
bool referencesAreKnown(const char* text) {
    static const char* const kNamed[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
    for (const char* p = std::strchr(text, '&'); p; p = std::strchr(p + 1, '&')) {
        const char* name = p + 1;
        bool known = false;
        for (const char* entity : kNamed)
            known = known || std::strncmp(name, entity, std::strlen(entity)) == 0;
        if (!known && name[0] == '#') {
            const char* digits = name + 1;
            bool hex = *digits == 'x';
            if (hex)
                ++digits;
            const char* end = digits;
            while (hex ? std::isxdigit(static_cast<unsigned char>(*end)) : std::isdigit(static_cast<unsigned char>(*end)))
                ++end;
            known = end != digits && *end == ';';
        }
        if (!known)
            return false;
    }
    return true;
}

// Visits every text and attribute value until the check refuses one.
template <typename Check>
bool allValuesPass(pugi::xml_document& document, Check check) {
    struct Walker : pugi::xml_tree_walker {
        Check* check;
        bool passed = true;
        bool for_each(pugi::xml_node& node) override {
            if (node.type() == pugi::node_pcdata && !(*check)(node.value()))
                passed = false;
            for (pugi::xml_attribute attribute : node.attributes())
                if (!(*check)(attribute.value()))
                    passed = false;
            return passed;
        }
    } walker;
    walker.check = &check;
    document.traverse(walker);
    return walker.passed;
}

// pugixml is lenient where XML is not: several root elements, text outside the root, and
// references to undeclared entities (kept as literal text) are all refused here.
bool checkWellFormed(pugi::xml_document& document, const std::string& data, std::string& error) {
    int elements = 0;
    for (pugi::xml_node child : document.children()) {
        if (child.type() == pugi::node_element)
            ++elements;
        else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            error = "text outside the root element";
            return false;
        }
    }
    if (elements != 1) {
        error = elements == 0 ? "no root element" : "more than one root element";
        return false;
    }
    // Decoded text with an "&" may hold an unknown reference: look again at the raw text.
    if (allValuesPass(document, [](const char* value) { return std::strchr(value, '&') == nullptr; }))
        return true;
    pugi::xml_document raw;
    if (!raw.load_buffer(data.data(), data.size(), kParseOptions & ~pugi::parse_escapes, pugi::encoding_auto) ||
        !allValuesPass(raw, referencesAreKnown)) {
        error = "reference to an undeclared entity";
        return false;
    }
    return true;
}

std::string stringValueOf(pugi::xml_node node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
        return node.value();
    std::string value;
    struct Collector : pugi::xml_tree_walker {
        std::string* out;
        bool for_each(pugi::xml_node& n) override {
            if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata)
                out->append(n.value());
            return true;
        }
    } collector;
    collector.out = &value;
    node.traverse(collector);
    return value;
}

std::string render(pugi::xml_node node, unsigned flags) {
    std::ostringstream stream;
    node.print(stream, kIndent, flags, pugi::encoding_utf8);
    return stream.str();
}

bool readWholeFile(const std::string& path, std::string& data, std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    data.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace

XMLParser::XMLParser() = default;

XMLParser::~XMLParser() = default;

void XMLParser::report(zezu::Log_Level level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    reportV(level, format, arguments);
    va_end(arguments);
}

void XMLParser::reportV(zezu::Log_Level level, const char* format, va_list arguments) {
    logMessageV(logger, level, "XMLParser", format, arguments);
}

bool XMLParser::initialised(const char* format, ...) {
    if (document_)
        return true;
    report(zezu::DEBUG, "XML Not initialized");
    va_list arguments;
    va_start(arguments, format);
    reportV(zezu::DEBUG, format, arguments);
    va_end(arguments);
    return false;
}

bool XMLParser::parse(const std::string& data, std::string& error) {
    auto document = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result result = document->load_buffer(data.data(), data.size(), kParseOptions, pugi::encoding_auto);
    if (!result) {
        error = result.description();
        error += " at offset " + std::to_string(result.offset);
        return false;
    }
    if (!hasValidEncoding(data, result.encoding)) {
        error = "text is not valid in its character encoding";
        return false;
    }
    if (!checkWellFormed(*document, data, error))
        return false;
    document_ = std::move(document);
    return true;
}

bool XMLParser::initWithXMLPath(const std::string& path) {
    if (document_) {
        report(zezu::WARN, "Error Description : XML is already initialized, trying to initilize again.");
        return false;
    }
    std::string data;
    std::string error;
    if (!readWholeFile(path, data, error)) {
        report(zezu::WARN, "ERROR invalid xml file path. Could not read data from path %s", path.c_str());
        report(zezu::WARN, "Error Description %s", error.c_str());
        return false;
    }
    if (!parse(data, error)) {
        report(zezu::WARN, "Error in initWithXMLPath %s", path.c_str());
        report(zezu::WARN, "Error Description %s", error.c_str());
        return false;
    }
    return true;
}

bool XMLParser::initWithXMLString(const std::string& text) {
    if (document_) {
        report(zezu::WARN, "Error Description : XML is already initialized, tring to initilize again.");
        return false;
    }
    std::string error;
    if (!parse(text, error)) {
        report(zezu::DEBUG, "Error in initWithXMLString, error description - %s", error.c_str());
        return false;
    }
    return true;
}

bool XMLParser::writeXMLToFilePathInUTF8(const std::string& path) {
    if (path.empty() || !document_)
        return false;
    pugi::xml_node declaration;
    for (pugi::xml_node child : document_->children())
        if (child.type() == pugi::node_declaration) {
            declaration = child;
            break;
        }
    std::string text;
    if (!declaration) {
        text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + render(*document_, pugi::format_indent | pugi::format_no_declaration);
    } else {
        pugi::xml_attribute encoding = declaration.attribute("encoding");
        std::string declared = encoding ? encoding.value() : "";
        // The declaration must name what is written; the document keeps its own afterwards.
        bool relabel = !declared.empty() && strcasecmp(declared.c_str(), "UTF-8") != 0;
        if (relabel)
            encoding.set_value("UTF-8");
        text = render(*document_, pugi::format_indent | pugi::format_no_declaration);
        if (relabel)
            encoding.set_value(declared.c_str());
    }
    return FileUtils::CreateFileWithContentAtPath(path, text, logger);
}

bool XMLParser::select(const std::string& query, pugi::xpath_node_set& matches, std::string& error) {
    try {
        matches = document_->select_nodes(query.c_str());
        matches.sort();
        return true;
    } catch (const pugi::xpath_exception& exception) {
        error = exception.what();
        return false;
    }
}

bool XMLParser::nodeExistsXQuery(const std::string& query) {
    if (!initialised("Error in nodeExistsXQuery for query - %s", query.c_str()))
        return false;
    pugi::xpath_node_set matches;
    std::string error;
    if (!select(query, matches, error) || matches.empty()) {
        report(zezu::DEBUG, "Node count < 0 in nodeExistsXQuery for query - %s", query.c_str());
        return false;
    }
    return true;
}

bool XMLParser::stringValueForXQuery(const std::string& query, std::string& value) {
    if (!initialised("Error in stringValueForXQuery for query - %s", query.c_str()))
        return false;
    pugi::xpath_node_set matches;
    std::string error;
    if (!select(query, matches, error) || matches.empty()) {
        report(zezu::DEBUG, "Node count < 0 in stringValueForXQuery for query - %s", query.c_str());
        return false;
    }
    pugi::xpath_node first = matches.first();
    if (first.attribute())
        value = first.attribute().value();
    else if (first.node())
        value = stringValueOf(first.node());
    else {
        report(zezu::DEBUG, "Error is accessing property value in stringValueForXQuery for query - %s", query.c_str());
        return false;
    }
    return true;
}

void* XMLParser::getNodeListForXQuery(const std::string& query, int* count) {
    if (count)
        *count = 0;
    if (!initialised("Error in getNodeListForXQuery for query - %s", query.c_str()))
        return nullptr;
    pugi::xpath_node_set matches;
    std::string error;
    if (!select(query, matches, error)) {
        report(zezu::DEBUG, "Node Not found in getNodeListForXQuery for query - %s - err( %s )", query.c_str(),
               error.c_str());
        return nullptr;
    }
    auto list = std::make_unique<NodeList>();
    // Attribute matches have no node handle; the system's queries select elements.
    for (const pugi::xpath_node& match : matches)
        if (match.node())
            list->nodes.push_back(match.node().internal_object());
    NodeList* result = list.get();
    retainedLists_.push_back(std::move(list));
    if (result->nodes.empty())
        return nullptr;
    if (count)
        *count = static_cast<int>(result->nodes.size());
    return result;
}

void* XMLParser::getNodeAtIndexFromNodeList(void* nodeList, int index) {
    if (!initialised("Error in getNodeAtIndexFromNodeList"))
        return nullptr;
    if (!nodeList) {
        report(zezu::DEBUG, "Error in getNodeAtIndexFromNodeList, ZXNodeList is NULL");
        return nullptr;
    }
    auto* list = static_cast<NodeList*>(nodeList);
    if (index < 0 || static_cast<size_t>(index) >= list->nodes.size()) {
        report(zezu::DEBUG, "Error in getNodeAtIndexFromNodeList, invalid index - %d ", index);
        return nullptr;
    }
    return list->nodes[static_cast<size_t>(index)];
}

bool XMLParser::getNodeXMLString(void* node, std::string& text) {
    if (!initialised("Error in getNodeXMLString"))
        return false;
    if (!node) {
        report(zezu::DEBUG, "Error in getNodeXMLString, node is null");
        return false;
    }
    pugi::xml_node current = nodeOf(node);
    if (!current.first_child()) {
        report(zezu::DEBUG, "Error in getNodeXMLString, current node is null");
        return false;
    }
    for (pugi::xml_node child : current.children())
        if (child.type() != pugi::node_comment)
            return getXMLStringOfNode(handleOf(child), text);
    return false;
}

bool XMLParser::getXMLStringOfNode(void* node, std::string& text) {
    if (!initialised("Error invalid access in getNodeXMLStringOfNode"))
        return false;
    if (!node) {
        report(zezu::DEBUG, "Error in getNodeXMLString, node is null");
        return false;
    }
    text = render(nodeOf(node), pugi::format_raw | pugi::format_no_declaration);
    return true;
}

bool XMLParser::nodeForMap(void* node) {
    if (!initialised("Error in getMapFromNode"))
        return false;
    if (!node)
        report(zezu::DEBUG, "getMapFromNode ... node is null");
    return node != nullptr;
}

std::map<std::string, std::string> XMLParser::getMapFromNode(void* node) {
    std::map<std::string, std::string> map;
    if (!nodeForMap(node))
        return map;
    // Text and comment children of mixed content have no name to key them by.
    for (pugi::xml_node child : nodeOf(node).children() )
        if (child.type() == pugi::node_element)
            map.emplace(child.name(), stringValueOf(child));
    return map;
}

std::map<std::string, std::string> XMLParser::getAttrsMapOfNode(void* node) {
    std::map<std::string, std::string> map;
    if (!nodeForMap(node))
        return map;
    for (pugi::xml_attribute attribute : nodeOf(node).attributes())
        map.emplace(attribute.name(), attribute.value());
    return map;
}

bool XMLParser::getRootNode(void*& node) {
    if (!document_) {
        report(zezu::DEBUG, "Error in getRootNode");
        return false;
    }
    node = handleOf(document_->document_element());
    return true;
}

namespace {

pugi::xml_node appendElement(pugi::xml_node parent, const std::string& name, const std::string& value) {
    if (name.empty())
        return pugi::xml_node();
    pugi::xml_node element = parent.append_child(name.c_str());
    if (element && !value.empty() && !element.append_child(pugi::node_pcdata).set_value(value.c_str())) {
        parent.remove_child(element);
        return pugi::xml_node();
    }
    return element;
}

}  // namespace

bool XMLParser::createNodeWithNameAndValue(const std::string& name, const std::string& value, void*& node) {
    if (!detached_)
        detached_ = std::make_unique<pugi::xml_document>();
    pugi::xml_node element = appendElement(*detached_, name, value);
    if (!element) {
        report(zezu::DEBUG, "Error in createNodeWithNameAndValue, XML Not initialized.");
        return false;
    }
    node = handleOf(element);
    return true;
}

bool XMLParser::addChildToNode(const std::string& name, const std::string& value, void* parent) {
    void* ignored = nullptr;
    return addChildToNode(name, value, parent, ignored);
}

bool XMLParser::addChildToNode(const std::string& name, const std::string& value, void* parent, void*& node) {
    if (!parent) {
        report(zezu::DEBUG, "Error in createNodeWithNameAndValue, node is null!");
        return false;
    }
    pugi::xml_node element = appendElement(nodeOf(parent), name, value);
    if (!element) {
        report(zezu::DEBUG, "createNodeWithNameAndValue fails inside addChildToNode!");
        return false;
    }
    node = handleOf(element);
    return true;
}

bool XMLParser::addChildToNode(void* child, void* parent) {
    if (!child || !parent) {
        report(zezu::DEBUG, "Error in addChildToNode, newNode or node is null!");
        return false;
    }
    pugi::xml_node moving = nodeOf(child);
    pugi::xml_node target = nodeOf(parent);
    if (moving.root() == target.root())
        return static_cast<bool>(target.append_move(moving));
    // pugixml cannot move a node between documents: copy it over, then drop the original.
    if (!target.append_copy(moving))
        return false;
    if (pugi::xml_node oldParent = moving.parent())
        oldParent.remove_child(moving);
    return true;
}

bool XMLParser::getXMLString(std::string& text) {
    if (!document_) {
        report(zezu::DEBUG, "Error in getXMLString");
        return false;
    }
    text = render(*document_, pugi::format_indent | pugi::format_no_declaration);
    return true;
}

bool XMLParser::addAttributeToNode(void* element, const std::string& name, const std::string& value) {
    if (!element) {
        report(zezu::DEBUG, "Error in addAttributeToNode, node is null!");
        return false;
    }
    pugi::xml_node node = nodeOf(element);
    if (name.empty() || node.type() != pugi::node_element)
        return false;
    pugi::xml_attribute attribute = node.attribute(name.c_str());
    if (!attribute)
        attribute = node.append_attribute(name.c_str());
    return attribute && attribute.set_value(value.c_str());
}

}  // namespace ZEZUUtils
