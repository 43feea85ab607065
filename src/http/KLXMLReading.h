// The one way this library reads XML with libxml2: from bytes in memory, never touching the
// network or any file, never loading external entities or DTDs, with libxml2's limits on entity
// expansion in force. Errors come back as values instead of lines on standard error.
#pragma once

#include <libxml/tree.h>

#include <memory>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

// Errors of reading XML: libxml2's error number and message.
inline constexpr const char* kKLXMLParserErrorDomain = "NSXMLParserErrorDomain";
// Reported when a delegate stops the event parser.
inline constexpr int kKLXMLParserDelegateAbortedParseError = 512;

struct XmlDocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::shared_ptr<xmlDoc>;

Result<XmlDocPtr> readXMLDocument(const Bytes& data);

// The text of a node and everything under it. Internal entities are given by their replacement
// text; external entities, never loaded, give nothing.
std::string xmlTextContent(const xmlNode* node);

}  // namespace kl
