// Small helpers for holding and reading IPC dictionaries on the control app's side.
#pragma once

#include <optional>
#include <string>

#include "foundation/ipc/KLIPCObjects.h"
#include "foundation/ipc/klipc.h"

namespace kl {

using IPCRef = ipc::ObjectRef;
inline IPCRef ipcAdopt(klipc_object_t object) { return IPCRef::adopt(object); }
inline IPCRef ipcRef(klipc_object_t object) { return IPCRef::retain(object); }

// The string under key, nothing when it is missing or not a string.
inline std::optional<std::string> ipcString(klipc_object_t dictionary, const char* key) {
    const char* text = klipc_dictionary_get_string(dictionary, key);
    if (!text) return std::nullopt;
    return std::string(text);
}
// The string under key, the empty string when it is missing.
inline std::string ipcStringOrEmpty(klipc_object_t dictionary, const char* key) {
    return ipcString(dictionary, key).value_or(std::string());
}

}  // namespace kl
