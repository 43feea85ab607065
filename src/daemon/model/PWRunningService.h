// What this machine offers the account: one record per running service program, plus the
// platform's built-in services, which are always listed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace kl {

// Executables whose file name starts with this are the system's service programs.
inline constexpr const char* kPWServiceProgramPrefix = "com.kelvaro.portweaver.service.";

struct PWRunningService {
    std::string serviceName;     // the executable's file name
    std::string servicePath;     // its full path; "path" for a built-in service
    std::string serviceVersion;  // "<short version> (<build>)", or "" without both
    std::vector<std::string> serviceNames;        // DNS-SD types offered
    std::optional<bool> requiresUniversalAccess;  // absent for built-in services
    uint64_t pid = 0;                             // 0 for a built-in service

    // The same program instance: name, path and pid (compared as 32-bit numbers). Version and
    // offered types do not count, so a program that changes what it offers is not announced again.
    bool isEqualToService(const PWRunningService& other) const;
    // The dictionary sent over IPC: "serviceName", "servicePath", "serviceVersion", "serviceNames",
    // "requiresUniversalAccess" (when present), "pid".
    Value toValue() const;
};

// The eight built-in services, in the order they are always listed.
const std::vector<PWRunningService>& builtInServices();

}  // namespace kl
