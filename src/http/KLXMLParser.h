// KLXMLParser: an event parser over an XML document in memory. parse() reports the document's
// elements and text to the delegate in document order; it is handed over unrun, so its errors
// appear only when its owner runs it. The delegate may be replaced or removed from any thread,
// also while another thread parses: later events then go to the new one (or nowhere).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/KLXMLReading.h"

namespace kl {

class KLXMLParser;

class KLXMLParserDelegate {
public:
    using Attributes = std::vector<std::pair<std::string, std::string>>;

    virtual ~KLXMLParserDelegate() = default;
    virtual void parserDidStartDocument(KLXMLParser&) {}
    virtual void parserDidEndDocument(KLXMLParser&) {}
    // elementName is the qualified name as written ("atom:feed"); namespaceURI is empty without one.
    virtual void didStartElement(KLXMLParser&, const std::string& /*elementName*/, const std::string& /*namespaceURI*/,
                                 const Attributes&) {}
    virtual void didEndElement(KLXMLParser&, const std::string& /*elementName*/, const std::string& /*namespaceURI*/) {}
    virtual void foundCharacters(KLXMLParser&, const std::string& /*text*/) {}
    virtual void parseErrorOccurred(KLXMLParser&, const Error&) {}
};

class KLXMLParser {
public:
    explicit KLXMLParser(Bytes data);

    void setDelegate(std::weak_ptr<KLXMLParserDelegate> delegate);
    std::shared_ptr<KLXMLParserDelegate> delegate() const;

    // Parses once; false, with parserError(), when the document is not well-formed or parsing was
    // aborted. Later calls return the first result.
    bool parse();
    // Stops a parse in progress after the current event (from a delegate call or another thread).
    void abortParsing() { aborted_.store(true); }
    std::optional<Error> parserError() const;
    const Bytes& data() const { return data_; }

private:
    void walk(const xmlNode* node);
    void emitText(const std::string& text);

    const Bytes data_;
    std::atomic<bool> aborted_{false};
    mutable std::mutex lock_;
    std::weak_ptr<KLXMLParserDelegate> delegate_;  // guarded by lock_
    std::optional<bool> result_;                   // guarded by lock_
    std::optional<Error> parserError_;             // guarded by lock_
};

}  // namespace kl
