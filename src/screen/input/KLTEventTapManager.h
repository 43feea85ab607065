// KLTEventTapManager: the programs that see typed keys before the application does and may rewrite
// them. On X these are the input-method servers registered on the root (XIM_SERVERS); listeners
// through RECORD or XInput cannot be listed by a client. Each is described by a dictionary of the
// keys below, its program name standing in for a bundle identifier.
#pragma once

#include <optional>

#include "platform/Value.h"

namespace kl {

inline constexpr const char* kEventTapProcessInfoEventIDKey = "kEventIDKey";
inline constexpr const char* kEventTapProcessInfoTapLocationKey = "kTapLocationKey";
inline constexpr const char* kEventTapProcessInfoTapOptionsKey = "kTapOptionsKey";
inline constexpr const char* kEventTapProcessInfoEventsOfInterestMaskKey = "kEventsOfInterestMaskKey";
inline constexpr const char* kEventTapProcessInfoTappingProcessKey = "kTappingProcessKey";
inline constexpr const char* kEventTapProcessInfoTappedProcessKey = "kTappedProcessKey";
inline constexpr const char* kEventTapProcessInfoEnabledKey = "kEnabledKey";
inline constexpr const char* kEventTapProcessInfoMinUsecLatencyKey = "kMinUsecLatencyKey";
inline constexpr const char* kEventTapProcessInfoAvgUsecLatencyKey = "kAvgUsecLatencyKey";
inline constexpr const char* kEventTapProcessInfoMaxUsecLatencyKey = "kMaxUsecLatencyKey";
inline constexpr const char* kEventTapProcessInfoTappingProcessExtendedInfoKey = "kTappingProcessExtendedInfoKey";

inline constexpr size_t kMaxEventTaps = 400;

class KLTEventTapManager {
public:
    static KLTEventTapManager& sharedManager();

    // Every registered server, or nothing when none is. Reads the server list anew on each call, on
    // the calling thread's X connection.
    std::optional<Array> processInfoForEventTaps();
    // The same for the servers that take keys (all registered ones), without "kEnabledKey".
    std::optional<Array> processInfoForEnabledKeyboardEventTaps();

private:
    std::optional<Array> inventory(bool withEnabledKey);
};

}  // namespace kl
