#include "tunnel/protocol/TunnexChannelHash.h"

#include <cstdio>
#include <random>

#include "foundation/KLTLogging.h"

namespace kl {

chanHash TunnexChannelHashSource::next() {
    // Every caller gets a distinct fetch_add result, so skipping a 0 by drawing again can never
    // return the value another caller (or the previous call) got.
    uint32_t value;
    do {
        value = next_.fetch_add(1, std::memory_order_relaxed);
    } while (value == 0);
    return value;
}

namespace {

// A value in the range the C library's random() gives, logged once as the seed.
uint32_t randomSeed() {
    std::random_device device;
    uint32_t seed = uint32_t(device()) & 0x7fffffffu;
    KLLog(kKLTLoggingLevelInfo, "Setting channel hash source to: %u", seed);
    return seed;
}

TunnexChannelHashSource& processSource() {
    static TunnexChannelHashSource source(randomSeed());
    return source;
}

}  // namespace

void seedChannelHashSource() { processSource(); }

chanHash NextChannelHash() {
    seedChannelHashSource();
    return processSource().next();
}

std::string StringForChannelHash(chanHash hash) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", hash);
    return text;
}

}  // namespace kl
