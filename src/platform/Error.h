// kl::Error: an error object of a domain, an integer code and a user-information dictionary.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace kl {

inline constexpr const char* kErrorDescriptionKey = "com.kelvaro.errorFramework.errorDescriptionKey";

class Error {
public:
    Error() = default;
    Error(std::string domain, int64_t code, Dictionary userInfo = {});
    // An error whose user information holds only the description.
    static Error withDescription(std::string domain, int64_t code, std::string description);

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }
    Dictionary& userInfo() { return userInfo_; }
    // The text under kErrorDescriptionKey, or a generic "domain error code" text.
    std::string description() const;

    bool operator==(const Error&) const = default;

private:
    std::string domain_;
    int64_t code_ = 0;
    Dictionary userInfo_;
};

// A value or an error; used where a call can fail without throwing across a boundary.
template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error)) {}
    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const T* operator->() const { return &*value_; }
    const T& operator*() const { return *value_; }
    const Error& error() const { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

}  // namespace kl
