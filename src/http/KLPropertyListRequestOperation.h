// KLPropertyListRequestOperation: an HTTP operation for property-list replies
// ("application/x-plist", XML or binary). The body is parsed once, after the operation finished,
// on the global queue; the parsed value goes to the success callback.
#pragma once

#include <cstdint>

#include "http/KLHTTPResponseOperation.h"

namespace kl {

enum KLPropertyListFormat : uint64_t {
    KLPropertyListOpenStepFormat = 1,
    KLPropertyListXMLFormat_v1_0 = 100,
    KLPropertyListBinaryFormat_v1_0 = 200,
};

class KLPropertyListRequestOperation : public KLHTTPResponseOperation<KLPropertyListRequestOperation> {
public:
    static constexpr const char* kClassName = "KLPropertyListRequestOperation";
    static constexpr const char* kPathExtension = "plist";
    static KLContentTypeSet defaultContentTypes() { return {"application/x-plist"}; }

    using PropertyListSuccessBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                        const Value& propertyList)>;
    using PropertyListFailureBlock = std::function<void(const KLURLRequest& request, const std::optional<KLHTTPURLResponse>& response,
                                                        const Error& error, const Value& propertyList)>;

    static std::shared_ptr<KLPropertyListRequestOperation> operationWithRequest(KLURLRequest request);
    static std::shared_ptr<KLPropertyListRequestOperation> propertyListRequestOperationWithRequest(
        KLURLRequest request, PropertyListSuccessBlock success, PropertyListFailureBlock failure);
    explicit KLPropertyListRequestOperation(KLURLRequest request);

    // The parsed body (null for none, or until the operation finished); parsed once.
    Value responsePropertyList() const;
    // The format the body was found in; nothing before it was parsed.
    std::optional<KLPropertyListFormat> propertyListFormat() const;
    std::optional<Error> propertyListError() const;
    // Kept for callers that set reading options; values read are always independent copies.
    uint64_t propertyListReadOptions() const;
    void setPropertyListReadOptions(uint64_t options);
    // The parse error first, then the HTTP or connection error.
    std::optional<Error> error() const override;
    void setCompletionBlockWithSuccess(KLHTTPSuccessBlock success, KLHTTPFailureBlock failure) override;

private:
    uint64_t propertyListReadOptions_ = 0;                           // guarded by lock_
    mutable std::optional<Value> responsePropertyList_;              // guarded by lock_
    mutable std::optional<KLPropertyListFormat> propertyListFormat_;  // guarded by lock_
    mutable std::optional<Error> propertyListError_;                 // guarded by lock_
};

}  // namespace kl
