// KLXMLRequestOperation: an HTTP operation for XML replies ("application/xml", "text/xml"). It
// hands over an event parser over the body (not yet run) or, when asked, the document tree. The
// body is read without network access and without loading external entities.
#pragma once

#include "http/KLHTTPResponseOperation.h"
#include "http/KLXMLDocument.h"
#include "http/KLXMLParser.h"

namespace kl {

class KLXMLRequestOperation : public KLHTTPResponseOperation<KLXMLRequestOperation> {
public:
    static constexpr const char* kClassName = "KLXMLRequestOperation";
    static constexpr const char* kPathExtension = "xml";
    static KLContentTypeSet defaultContentTypes() { return {"application/xml", "text/xml"}; }

    using XMLParserSuccessBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                     const std::shared_ptr<KLXMLParser>& parser)>;
    using XMLParserFailureBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                     const Error& error, const std::shared_ptr<KLXMLParser>& parser)>;
    using XMLDocumentSuccessBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                       const std::shared_ptr<KLXMLDocument>& document)>;
    using XMLDocumentFailureBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                       const Error& error, const std::shared_ptr<KLXMLDocument>& document)>;

    static std::shared_ptr<KLXMLRequestOperation> operationWithRequest(KLURLRequest request);
    static std::shared_ptr<KLXMLRequestOperation> XMLParserRequestOperationWithRequest(KLURLRequest request, XMLParserSuccessBlock success,
                                                                                       XMLParserFailureBlock failure);
    // The document is read in the callback: a body that is no well-formed XML reaches failure.
    static std::shared_ptr<KLXMLRequestOperation> XMLDocumentRequestOperationWithRequest(KLURLRequest request,
                                                                                         XMLDocumentSuccessBlock success,
                                                                                         XMLDocumentFailureBlock failure);
    explicit KLXMLRequestOperation(KLURLRequest request);

    // Made once after the operation finished; nothing for an empty body.
    std::shared_ptr<KLXMLParser> responseXMLParser() const;
    // Read once after the operation finished; nothing for an empty body or a reading error
    // (which becomes XMLError()).
    std::shared_ptr<KLXMLDocument> responseXMLDocument() const;
    std::optional<Error> XMLError() const;
    // The document's reading error first, then the HTTP or connection error.
    std::optional<Error> error() const override;
    // Also detaches the parser's delegate, so a parse in progress reports nothing more.
    void cancel() override;
    // success gets the raw body (the parser is responseXMLParser()).
    void setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) override;

private:
    mutable std::shared_ptr<KLXMLParser> responseXMLParser_;      // guarded by lock_
    mutable std::shared_ptr<KLXMLDocument> responseXMLDocument_;  // guarded by lock_
    mutable std::optional<Error> XMLError_;                       // guarded by lock_
};

}  // namespace kl
