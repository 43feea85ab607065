#include "tunnel/TunnexResult.h"

#include <cstring>

#include <udt/udt.h>

namespace kl {

const std::string tunnexErrorDomain = "com.kelvaro.tunnex.ErrorDomain";

TunnexError TunnexError::udt(int udtCode, std::string description) {
    TunnexError error(TunnexErrorCode::UDT, std::move(description));
    error.udtCode_ = udtCode;
    return error;
}

TunnexError TunnexError::fromUDT(const CUDTException& info) {
    // getErrorMessage() builds its text in the exception, so it needs a copy it may write to.
    CUDTException copy(info);
    const char* message = copy.getErrorMessage();
    return udt(copy.getErrorCode(), message ? message : "");
}

TunnexError TunnexError::lastUDT() { return fromUDT(UDT::getlasterror()); }

TunnexError TunnexError::system(const char* call, int errorNumber) {
    return TunnexError(TunnexErrorCode::System, std::string(call) + ": " + std::strerror(errorNumber));
}

TunnexError TunnexError::fromError(const Error& error) {
    if (error.domain() == tunnexErrorDomain) return TunnexError(TunnexErrorCode(error.code()), error.description());
    return udt(int(error.code()), error.description());
}

Error TunnexError::toError() const {
    if (code_ == TunnexErrorCode::UDT) return Error::withDescription(tunnexUDTErrorDomain, udtCode_, description_);
    return Error::withDescription(tunnexErrorDomain, int(code_), description_);
}

}  // namespace kl
