#include "http/KLXMLDocument.h"

namespace kl {

KLXMLNode::Kind KLXMLNode::kind() const {
    switch (node_->type) {
    case XML_ELEMENT_NODE: return Kind::Element;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE: return Kind::Text;
    default: return Kind::Other;
    }
}

std::string KLXMLNode::name() const {
    if (node_->type != XML_ELEMENT_NODE || !node_->name) return {};
    std::string name = reinterpret_cast<const char*>(node_->name);
    if (node_->ns && node_->ns->prefix) name = reinterpret_cast<const char*>(node_->ns->prefix) + (":" + name);
    return name;
}

std::string KLXMLNode::stringValue() const { return xmlTextContent(node_); }

std::optional<std::string> KLXMLNode::attribute(const std::string& name) const {
    if (node_->type != XML_ELEMENT_NODE) return std::nullopt;
    xmlChar* value = xmlGetProp(node_, reinterpret_cast<const xmlChar*>(name.c_str()));
    if (!value) return std::nullopt;
    std::string result = reinterpret_cast<const char*>(value);
    xmlFree(value);
    return result;
}

std::vector<KLXMLNode> KLXMLNode::children() const {
    std::vector<KLXMLNode> nodes;
    if (node_->type != XML_ELEMENT_NODE) return nodes;
    for (const xmlNode* child = node_->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE || child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE)
            nodes.emplace_back(document_, child);
    return nodes;
}

std::vector<KLXMLNode> KLXMLNode::elementsForName(const std::string& name) const {
    std::vector<KLXMLNode> nodes;
    for (auto& child : children())
        if (child.kind() == Kind::Element && child.name() == name) nodes.push_back(std::move(child));
    return nodes;
}

Result<std::shared_ptr<KLXMLDocument>> KLXMLDocument::documentWithData(const Bytes& data) {
    auto document = readXMLDocument(data);
    if (!document) return document.error();
    return std::shared_ptr<KLXMLDocument>(new KLXMLDocument(std::move(document).value()));
}

std::optional<KLXMLNode> KLXMLDocument::rootElement() const {
    const xmlNode* root = xmlDocGetRootElement(document_.get());
    if (!root) return std::nullopt;
    return KLXMLNode(document_, root);
}

std::string KLXMLDocument::XMLString() const {
    xmlChar* text = nullptr;
    int length = 0;
    xmlDocDumpMemoryEnc(document_.get(), &text, &length, "UTF-8");
    std::string result = text ? std::string(reinterpret_cast<const char*>(text), size_t(length)) : std::string();
    xmlFree(text);
    return result;
}

}  // namespace kl
