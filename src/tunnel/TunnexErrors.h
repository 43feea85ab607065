// Error objects of the tunnel: UDT failures become kl::Error values with the UDT code.
#pragma once

#include <string>

#include "platform/Error.h"

class CUDTException;

namespace kl {

// The domain of every error made from a UDT failure.
extern const std::string tunnexUDTErrorDomain;
// The user-information key of an error's description (the same key the rest of the system uses).
extern const std::string KLTErrorDescriptionKey;

// UDT reports a broken connection as 2001 and a receive time-out as 6003 (major * 1000 + minor).
inline constexpr int kUDTErrorConnectionLost = 2001;
inline constexpr int kUDTErrorReceiveTimeout = 6003;
// UDT reports a send that found no room within its time-out with the same code.
inline constexpr int kUDTErrorSendTimeout = 6003;
// "No data" on a non-blocking receive: the normal end of a pass, not a fault.
inline constexpr int kUDTErrorNothingToReceive = 6002;
// An invalid parameter; the tunnel reports a channel it cannot set up from its arguments with it.
inline constexpr int kUDTErrorInvalidParameter = 5003;
// A socket UDT does not know (closed, or never made).
inline constexpr int kUDTErrorInvalidSocket = 5004;
// A non-blocking send that finds UDT's send buffer full.
inline constexpr int kUDTErrorNoSendRoom = 6001;
// A send that found the window full: slowness of a live channel, not a failure (a non-blocking
// send says 6001, one with a time-out 6003).
inline constexpr bool udtSendFoundNoRoom(int code) { return code == kUDTErrorNoSendRoom || code == kUDTErrorSendTimeout; }
// A connect that did not complete within its time.
inline constexpr int kUDTErrorConnectionSetupTimeout = 1001;

// An error of tunnexUDTErrorDomain with the exception's code and its message as the description.
Error errorFromUDTErrorInfo(CUDTException info);

}  // namespace kl
