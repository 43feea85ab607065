#include "http/KLXMLReading.h"

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <mutex>

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
    return XmlDocPtr(doc, XmlDocDeleter());
}

std::string xmlTextContent(const xmlNode* node) {
    std::string text;
    if (node) appendNode(node, text, 0);
    return text;
}

}  // namespace kl
