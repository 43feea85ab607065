// The client's multipart requests: parameters become form parts, the caller's block adds more.
#include "http/KLHTTPClient.h"
#include "http/KLQueryString.h"
#include "http/KLTextEncoding.h"
#include "http/KLURLErrors.h"

namespace kl {

KLURLRequest KLHTTPClient::multipartFormRequestWithMethod(const std::string& method, const std::string& path,
                                                          const std::optional<Dictionary>& parameters,
                                                          const MultipartFormBlock& block) const {
    std::string encoding = stringEncoding();
    KLStreamingMultipartFormData formData(requestWithMethod(method, path, std::nullopt), encoding);
    std::optional<Error> parameterError;
    if (parameters) {
        for (const auto& pair : KLQueryStringPairsFromKeyAndValue(std::nullopt, Value(*parameters))) {
            std::string name = pair.field.value_or("");
            if (const Bytes* data = pair.value.asBytes()) {
                formData.appendPartWithFormData(*data, name);
            } else if (pair.value.isNull()) {
                formData.appendPartWithFormData({}, name);
            } else if (auto text = encodeText(KLQueryStringDescription(pair.value), encoding)) {
                formData.appendPartWithFormData(Bytes(text->begin(), text->end()), name);
            } else if (!parameterError) {
                parameterError = Error::withDescription(kKLSerializationErrorDomain, 2,
                                                        "form field \"" + name + "\" has no form in " + encoding);
            }
        }
    }
    if (block) block(formData);
    KLURLRequest request = formData.requestByFinalizingMultipartFormData();
    if (parameterError && !request.bodyError) request.bodyError = parameterError;
    return request;
}

}  // namespace kl
