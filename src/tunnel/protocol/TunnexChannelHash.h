// Channel hashes: the 32-bit names under which both ends of a tunnel know one data channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kl {

using chanHash = uint32_t;

// A counter that hands out channel hashes. 0 is never handed out (it means "no channel"), and
// no value is handed out twice in a row, even when the counter wraps or threads race.
class TunnexChannelHashSource {
public:
    explicit TunnexChannelHashSource(uint32_t start = 0) : next_(start) {}

    chanHash next();
    // The value the next call starts from.
    uint32_t peek() const { return next_.load(); }

private:
    std::atomic<uint32_t> next_;
};

// Seeds the process-wide source from a random value the first time it is called (later calls do
// nothing) and logs the seed. The tunnel peer calls it when its class is first used.
void seedChannelHashSource();
// The next hash of the process-wide source (seeding it first if nobody has).
chanHash NextChannelHash();
// Lower-case hexadecimal without leading zeros: the key of a channel in the peer's tables.
std::string StringForChannelHash(chanHash hash);

}  // namespace kl
