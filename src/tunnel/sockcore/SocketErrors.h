// Small helpers shared by the core's TCP sources.
#pragma once

#include <sys/socket.h>

#include <cstring>

namespace kl {

// The system's text for an error number; static, so records may keep it.
inline const char* errorText(int err) {
    const char* text = strerrordesc_np(err);
    return text ? text : "Unknown error";
}

inline void setSocketOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace kl
