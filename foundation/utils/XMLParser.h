// One XML document: parsed from a file or text, queried with location paths, walked through
// parser-owned node handles, extended, and rendered.
#pragma once

#include <cstdarg>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/logging/LogLevel.h"

namespace pugi {
class xml_document;
class xpath_node_set;
}

namespace ZEZUUtils {

// Node handles and node-list handles are opaque and owned by the parser that gave them;
// they stay valid while it lives (a node moved into another parser's document is copied
// there, and the old handle is then no longer valid).
class XMLParser {
public:
    XMLParser();
    ~XMLParser();
    XMLParser(const XMLParser&) = delete;
    XMLParser& operator=(const XMLParser&) = delete;

    // Only well-formed UTF-8 (or declared Latin-1 / UTF-16 / UTF-32) XML with exactly one
    // root element is taken. No DTD or external entity is ever read.
    bool initWithXMLPath(const std::string& path);
    bool initWithXMLString(const std::string& text);

    // Pretty-printed, declaring UTF-8, written atomically (temporary file and rename).
    bool writeXMLToFilePathInUTF8(const std::string& path);

    // Queries are XPath location paths evaluated from the document root.
    bool nodeExistsXQuery(const std::string& query);
    // The string value (all descendant text) of the first match; value changed only on success.
    bool stringValueForXQuery(const std::string& query, std::string& value);
    // The matching nodes in document order, or NULL when none match; count may be NULL.
    void* getNodeListForXQuery(const std::string& query, int* count);
    void* getNodeAtIndexFromNodeList(void* nodeList, int index);

    // The XML text of the node's first child that is not a comment.
    bool getNodeXMLString(void* node, std::string& text);
    bool getXMLStringOfNode(void* node, std::string& text);
    // Child element name to its string value (first one wins); other children are skipped.
    std::map<std::string, std::string> getMapFromNode(void* node);
    std::map<std::string, std::string> getAttrsMapOfNode(void* node);
    bool getRootNode(void*& node);

    // A new element not attached to any document tree yet.
    bool createNodeWithNameAndValue(const std::string& name, const std::string& value, void*& node);
    // Creates the element directly in the parent's document, as its last child.
    bool addChildToNode(const std::string& name, const std::string& value, void* parent);
    bool addChildToNode(const std::string& name, const std::string& value, void* parent, void*& node);
    // Moves the child under the parent. Across two parsers' documents the child is copied
    // and the original removed, so the child's old handle is no longer valid.
    bool addChildToNode(void* child, void* parent);

    bool getXMLString(std::string& text);
    // An existing attribute of that name gets the new value.
    bool addAttributeToNode(void* element, const std::string& name, const std::string& value);

    // A zezu::Logger as an untyped pointer; NULL routes messages to the process-wide hooks.
    void* logger = nullptr;

private:
    struct NodeList;

    bool parse(const std::string& data, std::string& error);
    bool select(const std::string& query, pugi::xpath_node_set& matches, std::string& error);
    // Logs "XML Not initialized" and the operation's own text when there is no document.
    bool initialised(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool nodeForMap(void* node);
    void report(zezu::Log_Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void reportV(zezu::Log_Level level, const char* format, va_list arguments) __attribute__((format(printf, 3, 0)));

    std::unique_ptr<pugi::xml_document> document_;
    // Holds the elements made by createNodeWithNameAndValue until they are attached.
    std::unique_ptr<pugi::xml_document> detached_;
    std::vector<std::unique_ptr<NodeList>> retainedLists_;
};

}  // namespace ZEZUUtils
