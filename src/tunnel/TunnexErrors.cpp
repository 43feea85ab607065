#include "tunnel/TunnexErrors.h"

#include <udt/udt.h>

namespace kl {

const std::string tunnexUDTErrorDomain = "com.kelvaro.tunnex.UDTErrorDomain";
const std::string KLTErrorDescriptionKey = kErrorDescriptionKey;

Error errorFromUDTErrorInfo(CUDTException info) {
    const char* message = info.getErrorMessage();
    return Error::withDescription(tunnexUDTErrorDomain, info.getErrorCode(), message ? message : "");
}

}  // namespace kl
