// What the update cycle sends between its application-section marks {0x27, 0} and {0x27, 1}.
// The screen server holds one source; the application monitor provides the real one.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace kl {

class ApplicationInfoSource {
public:
    // Sends one whole record on the main channel; false when the write failed.
    using SendRecord = std::function<bool(std::span<const uint8_t>)>;

    virtual ~ApplicationInfoSource() = default;
    // Starts a poll off the caller's thread and returns at once (a source may skip it when one ran lately).
    virtual void pollInBackground() = 0;
    // Sends the section's records in order under the caller's transmission lock, stopping at the first
    // failed send. Answers false when a send failed.
    virtual bool sendApplicationSection(const SendRecord& send) = 0;
};

}  // namespace kl
