// The daemon's simulated connection request: a notification on the system bus and a file in the
// shared temporary folder. The folder is everybody's, so the file is read without following a
// link, only when it is a regular file, and only up to a small size.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace kl {

inline constexpr const char* kConnectionRequestNotification = "com.kelvaro.portweaver.pwdaemon-got-connection-request";
inline constexpr size_t kConnectionRequestMaxBytes = 4096;

// "/tmp/com.kelvaro.portweaver.service" under the system root of kl::paths.
std::filesystem::path connectionRequestFile();
// The file's first maxBytes bytes; empty when it is missing, a link, not a regular file or
// unreadable.
std::string readConnectionRequest(const std::filesystem::path& path, size_t maxBytes = kConnectionRequestMaxBytes);

}  // namespace kl
