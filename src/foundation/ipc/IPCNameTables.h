// Names of IPC event kinds and control-command codes, for log lines. Codes without a name give "".
#pragma once

#include <cstdint>
#include <string>

extern "C" {
// Constant strings; not to be freed.
const char* CFStringFromIPCMessageType(int32_t type);
const char* CFStringFromControlAppToDaemonCommand(uint64_t command);
const char* CFStringFromDaemonToControlAppCommand(uint64_t command);
}

namespace kl {

// The string category of the IPC library: the same names as owned strings.
struct NSString_IPC {
    static std::string stringWithIPCMessageType(int32_t type);
    static std::string stringWithControlAppToDaemonCommand(uint64_t command);
    static std::string stringWithDaemonToControlAppCommand(uint64_t command);
};

}  // namespace kl
