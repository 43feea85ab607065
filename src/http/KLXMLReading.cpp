#include "http/KLXMLReading.h"

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kl {
namespace {

// Nothing is ever fetched: not a DTD, not an external entity, not over the network nor from a file.
xmlParserInputPtr refuseExternalEntity(const char* url, const char*, xmlParserCtxtPtr) {
    (void)url;
    return nullptr;
}

void installEntityLoader() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternalEntity);
    });
}

// Entities referring to entities: deeper than this is a loop or an attack (libxml2 itself refuses
// such documents while parsing; this only keeps the walk bounded).
constexpr int kMaxEntityDepth = 40;

void appendChildren(const xmlNode* first, std::string& out, int entityDepth);

void appendNode(const xmlNode* node, std::string& out, int entityDepth) {
    switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
        if (node->content) out += reinterpret_cast<const char*>(node->content);
        break;
    case XML_ELEMENT_NODE: appendChildren(node->children, out, entityDepth); break;
    case XML_ENTITY_REF_NODE: {
        const xmlEntity* entity = xmlGetDocEntity(node->doc, node->name);
        if (entity && entity->etype == XML_INTERNAL_GENERAL_ENTITY && entityDepth < kMaxEntityDepth)
            appendChildren(entity->children, out, entityDepth + 1);
        break;
    }
    default: break;
    }
}

void appendChildren(const xmlNode* first, std::string& out, int entityDepth) {
    for (const xmlNode* child = first; child; child = child->next) appendNode(child, out, entityDepth);
}

// A document's text with its internal entities replaced may be far larger than the document: one
// entity of a few kilobytes referenced thousands of times. What any reader of the tree would
// produce (text, entities in text and in attribute values) is measured once, each entity's size
// remembered, and a document whose replaced text exceeds kMaxExpansionFactor times its size (or
// kMinExpansionAllowance, for small documents) is refused before anybody expands it.
constexpr size_t kMaxExpansionFactor = 8;
constexpr size_t kMinExpansionAllowance = 64 * 1024;

class ExpansionMeter {
public:
    size_t list(const xmlNode* first, int entityDepth) {
        size_t total = 0;
        for (const xmlNode* child = first; child; child = child->next) total = add(total, node(child, entityDepth));
        return total;
    }

private:
    static size_t add(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

    size_t node(const xmlNode* node, int entityDepth) {
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE: return node->content ? std::strlen(reinterpret_cast<const char*>(node->content)) : 0;
        case XML_ELEMENT_NODE: {
            size_t total = list(node->children, entityDepth);
            for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next)
                total = add(total, list(attribute->children, entityDepth));
            return total;
        }
        case XML_ENTITY_REF_NODE: {
            const xmlEntity* entity = xmlGetDocEntity(node->doc, node->name);
            if (!entity || entity->etype != XML_INTERNAL_GENERAL_ENTITY || entityDepth >= kMaxEntityDepth) return 0;
            auto known = entitySizes_.find(entity);
            if (known != entitySizes_.end()) return known->second;
            size_t size = list(entity->children, entityDepth + 1);
            entitySizes_.emplace(entity, size);
            return size;
        }
        default: return 0;
        }
    }

    std::unordered_map<const xmlEntity*, size_t> entitySizes_;
};

}  // namespace

Result<XmlDocPtr> readXMLDocument(const Bytes& data) {
    installEntityLoader();
    if (data.size() > size_t(INT_MAX)) return Error::withDescription(kKLXMLParserErrorDomain, XML_ERR_DOCUMENT_END, "document too large");
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> context(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!context) return Error::withDescription(kKLXMLParserErrorDomain, XML_ERR_NO_MEMORY, "out of memory");
    // No XML_PARSE_NOENT, DTDLOAD, DTDVALID or HUGE: references stay references, nothing external loads.
    int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDoc* doc = xmlCtxtReadMemory(context.get(), reinterpret_cast<const char*>(data.data()), int(data.size()), nullptr,
                                    nullptr, options);
    if (!doc || !context->wellFormed) {
        if (doc) xmlFreeDoc(doc);
        const xmlError* error = xmlCtxtGetLastError(context.get());
        int code = error && error->code ? error->code : XML_ERR_DOCUMENT_EMPTY;
        std::string message = error && error->message ? error->message : "the document is not well-formed XML";
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
        if (error && error->line > 0) message = "line " + std::to_string(error->line) + ": " + message;
        return Error::withDescription(kKLXMLParserErrorDomain, code, message);
    }
    XmlDocPtr document(doc, XmlDocDeleter());
    size_t allowance = std::max(kMinExpansionAllowance, data.size() * kMaxExpansionFactor);
    size_t expanded = ExpansionMeter().list(doc->children, 0);
    if (expanded > allowance)
        return Error::withDescription(kKLXMLParserErrorDomain, XML_ERR_ENTITY_LOOP,
                                      "entity references expand the document to " + std::to_string(expanded) +
                                          " bytes of text, more than " + std::to_string(allowance) + " allowed");
    return document;
}

std::string xmlTextContent(const xmlNode* node) {
    std::string text;
    if (node) appendNode(node, text, 0);
    return text;
}

}  // namespace kl
