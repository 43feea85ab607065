#include "http/KLXMLParser.h"

namespace kl {
namespace {

std::string text(const xmlChar* chars) { return chars ? reinterpret_cast<const char*>(chars) : ""; }

std::string qualifiedName(const xmlNode* node) {
    std::string name = text(node->name);
    if (node->ns && node->ns->prefix) name = text(node->ns->prefix) + ":" + name;
    return name;
}

}  // namespace

KLXMLParser::KLXMLParser(Bytes data) : data_(std::move(data)) {}

void KLXMLParser::setDelegate(std::weak_ptr<KLXMLParserDelegate> delegate) {
    std::lock_guard guard(lock_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<KLXMLParserDelegate> KLXMLParser::delegate() const {
    std::lock_guard guard(lock_);
    return delegate_.lock();
}

std::optional<Error> KLXMLParser::parserError() const {
    std::lock_guard guard(lock_);
    return parserError_;
}

bool KLXMLParser::parse() {
    {
        std::lock_guard guard(lock_);
        if (result_) return *result_;
        result_ = false;  // a parse that re-enters from a delegate call does not start again
    }
    auto document = readXMLDocument(data_);
    std::optional<Error> failure;
    if (!document) {
        failure = document.error();
    } else {
        if (auto d = delegate()) d->parserDidStartDocument(*this);
        walk(xmlDocGetRootElement(document->get()));
        if (aborted_.load())
            failure = Error::withDescription(kKLXMLParserErrorDomain, kKLXMLParserDelegateAbortedParseError, "parsing was aborted");
        else if (auto d = delegate())
            d->parserDidEndDocument(*this);
    }
    {
        std::lock_guard guard(lock_);
        parserError_ = failure;
        result_ = !failure;
    }
    if (failure)
        if (auto d = delegate()) d->parseErrorOccurred(*this, *failure);
    return !failure;
}

void KLXMLParser::emitText(const std::string& characters) {
    if (characters.empty() || aborted_.load()) return;
    if (auto d = delegate()) d->foundCharacters(*this, characters);
}

void KLXMLParser::walk(const xmlNode* node) {
    for (; node && !aborted_.load(); node = node->next) {
        switch (node->type) {
        case XML_ELEMENT_NODE: {
            std::string name = qualifiedName(node);
            std::string namespaceURI = node->ns ? text(node->ns->href) : "";
            KLXMLParserDelegate::Attributes attributes;
            for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next) {
                xmlChar* value = xmlNodeListGetString(node->doc, attribute->children, 1);
                std::string attributeName = text(attribute->name);
                if (attribute->ns && attribute->ns->prefix) attributeName = text(attribute->ns->prefix) + ":" + attributeName;
                attributes.emplace_back(std::move(attributeName), text(value));
                xmlFree(value);
            }
            if (auto d = delegate()) d->didStartElement(*this, name, namespaceURI, attributes);
            walk(node->children);
            if (aborted_.load()) return;
            if (auto d = delegate()) d->didEndElement(*this, name, namespaceURI);
            break;
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_ENTITY_REF_NODE: emitText(xmlTextContent(node)); break;
        default: break;
        }
    }
}

}  // namespace kl
