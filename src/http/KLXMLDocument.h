// KLXMLDocument: a read-only tree of an XML document in memory, read the safe way (KLXMLReading).
// Nodes keep their document alive, so they may outlive the document object they came from.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/KLXMLReading.h"

namespace kl {

class KLXMLNode {
public:
    enum class Kind { Element, Text, Other };

    KLXMLNode(XmlDocPtr document, const xmlNode* node) : document_(std::move(document)), node_(node) {}

    Kind kind() const;
    // The element's qualified name; empty for text.
    std::string name() const;
    // All text in and under the node.
    std::string stringValue() const;
    std::optional<std::string> attribute(const std::string& name) const;
    // Child elements and text nodes, in order.
    std::vector<KLXMLNode> children() const;
    // Child elements of that qualified name.
    std::vector<KLXMLNode> elementsForName(const std::string& name) const;

private:
    XmlDocPtr document_;
    const xmlNode* node_;
};

class KLXMLDocument {
public:
    // The document in data, or the reading error.
    static Result<std::shared_ptr<KLXMLDocument>> documentWithData(const Bytes& data);

    std::optional<KLXMLNode> rootElement() const;
    // The document written out as XML text (UTF-8).
    std::string XMLString() const;

private:
    explicit KLXMLDocument(XmlDocPtr document) : document_(std::move(document)) {}
    XmlDocPtr document_;
};

}  // namespace kl
