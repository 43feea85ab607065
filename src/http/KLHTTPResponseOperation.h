// The class-wide part of an operation class that reads one kind of response: its acceptable
// status codes and content types (widened process-wide by addAcceptable...), its entry for the
// client's class registry, and the test by path extension or "Accept" header. Derived provides
// kClassName, defaultContentTypes(), kPathExtension and operationWithRequest().
#pragma once

#include "http/KLHTTPRequestOperation.h"
#include "http/KLURL.h"

namespace kl {

template <class Derived>
class KLHTTPResponseOperation : public KLHTTPRequestOperation {
public:
    using KLHTTPRequestOperation::KLHTTPRequestOperation;

    static const KLHTTPOperationClass& operationClass() {
        static const KLHTTPOperationClass cls{Derived::kClassName, &Derived::canProcessRequest,
                                              [](const KLURLRequest& r) -> std::shared_ptr<KLHTTPRequestOperation> {
                                                  return Derived::operationWithRequest(r);
                                              }};
        return cls;
    }
    static std::optional<KLStatusCodeSet> acceptableStatusCodes() { return readSettings(settings()).acceptableStatusCodes; }
    static std::optional<KLContentTypeSet> acceptableContentTypes() { return readSettings(settings()).acceptableContentTypes; }
    static void addAcceptableStatusCodes(const KLStatusCodeSet& codes) { widenStatusCodes(settings(), codes); }
    static void addAcceptableContentTypes(const KLContentTypeSet& types) { widenContentTypes(settings(), types); }
    // Requests for a path with the class's extension, or whose "Accept" names one of its types.
    static bool canProcessRequest(const KLURLRequest& request) {
        if (url::pathExtension(request.url) == Derived::kPathExtension) return true;
        return acceptHeaderNamesOneOf(request, acceptableContentTypes());
    }

    const char* className() const override { return Derived::kClassName; }

protected:
    KLHTTPOperationClassSettings classSettings() const override { return readSettings(settings()); }

private:
    static KLHTTPOperationClassSettings& settings() {
        static KLHTTPOperationClassSettings s{KLHTTPRequestOperation::acceptableStatusCodes(), Derived::defaultContentTypes()};
        return s;
    }
};

}  // namespace kl
