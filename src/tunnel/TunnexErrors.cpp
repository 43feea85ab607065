#include "tunnel/TunnexErrors.h"

#include <udt/udt.h>

#include "tunnel/TunnexResult.h"

namespace kl {

const std::string tunnexUDTErrorDomain = "com.kelvaro.tunnex.UDTErrorDomain";
const std::string KLTErrorDescriptionKey = kErrorDescriptionKey;

Error errorFromUDTErrorInfo(CUDTException info) { return TunnexError::fromUDT(info).toError(); }

}  // namespace kl
