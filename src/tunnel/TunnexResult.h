// The tunnel's one error convention: a call that can fail returns TunnexResult<T>, a value or a
// TunnexError (a code of TunnexErrorCode and a description). kl::Error objects are made from it
// only at the library's edge, where a public call hands one out.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/Error.h"
#include "tunnel/TunnexErrors.h"

class CUDTException;

namespace kl {

// The domain of the errors the tunnel makes itself (a UDT failure keeps tunnexUDTErrorDomain).
extern const std::string tunnexErrorDomain;

enum class TunnexErrorCode : int {
    UDT = 1,       // a UDT call failed; udtCode() holds UDT's code (major * 1000 + minor)
    System,        // a system call failed; the description names it and errno's text
    NotConnected,  // the channel or socket the call needs is not there or already closed
    ShortSend,     // a send took fewer bytes than it was given
    NotKeyed,      // the key exchange has not yet keyed the stream a cipher needs
    Cipher,        // the cipher refused its key or input; the description is its complaint
    InUse,         // the key, hash or port the call needs is taken
    Unresolved,    // the host name did not resolve
};

class TunnexError {
public:
    TunnexError(TunnexErrorCode code, std::string description) : code_(code), description_(std::move(description)) {}
    // A UDT failure: UDT's code and message are kept as they are.
    static TunnexError udt(int udtCode, std::string description);
    static TunnexError fromUDT(const CUDTException& info);
    // What the last UDT call on this thread reported.
    static TunnexError lastUDT();
    // A failed system call: "<call>: <errno's text>".
    static TunnexError system(const char* call, int errorNumber);
    // An error object that came back through the tunnel socket's own interface.
    static TunnexError fromError(const Error& error);

    TunnexErrorCode code() const { return code_; }
    // UDT's code for a UDT failure, else 0.
    int udtCode() const { return udtCode_; }
    const std::string& description() const { return description_; }

    // The edge's error object: a UDT failure in tunnexUDTErrorDomain with UDT's code, anything else
    // in tunnexErrorDomain with its TunnexErrorCode; the description under KLTErrorDescriptionKey.
    Error toError() const;
    // Fills a caller's error out-parameter, when one is given.
    void reportTo(Error* out) const {
        if (out) *out = toError();
    }

private:
    TunnexErrorCode code_;
    int udtCode_ = 0;
    std::string description_;
};

template <class T>
class TunnexResult {
public:
    TunnexResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    TunnexResult(TunnexError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return std::get<0>(state_); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    const TunnexError& error() const { return std::get<1>(state_); }

    // The edge: callers that take a kl::Result get the same outcome with the error object made.
    operator Result<T>() const {
        if (ok()) return Result<T>(value());
        return Result<T>(error().toError());
    }

private:
    std::variant<T, TunnexError> state_;
};

// A call that yields nothing but can fail; default-constructed it is a success.
template <>
class TunnexResult<void> {
public:
    TunnexResult() = default;
    TunnexResult(TunnexError error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const TunnexError& error() const { return *error_; }

private:
    std::optional<TunnexError> error_;
};

// The edge of a public call that answers an optional value and fills an error out-parameter.
template <class T>
std::optional<T> valueOrReport(TunnexResult<T>&& result, Error* out) {
    if (result) return std::move(result).value();
    result.error().reportTo(out);
    return std::nullopt;
}

}  // namespace kl
