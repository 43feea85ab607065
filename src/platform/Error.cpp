#include "platform/Error.h"

namespace kl {

Error::Error(std::string domain, int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error Error::withDescription(std::string domain, int64_t code, std::string description) {
    Dictionary info;
    info.set(kErrorDescriptionKey, Value(std::move(description)));
    return Error(std::move(domain), code, std::move(info));
}

std::string Error::description() const {
    if (const Value* d = userInfo_.find(kErrorDescriptionKey)) {
        if (const std::string* s = d->asString()) return *s;
    }
    return domain_ + " error " + std::to_string(code_);
}

}  // namespace kl
