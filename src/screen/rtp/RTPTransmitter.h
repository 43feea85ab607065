// A send-only RTP session over UDP/IPv4 (oRTP): a local port pair, one or more destinations
// sharing one port, payload type 125 through a profile of its own, the marker and the timestamp
// step given per packet, and an RTCP BYE with a reason at the end. oRTP runs no thread of its own
// here: every call does its work on the caller's thread. One owner thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>

struct _RtpSession;
struct _RtpProfile;

namespace kl {

class RTPTransmitter {
public:
    RTPTransmitter();
    ~RTPTransmitter();
    RTPTransmitter(const RTPTransmitter&) = delete;
    RTPTransmitter& operator=(const RTPTransmitter&) = delete;

    // localPortBase: the RTP port (RTCP on the next one); -1 lets the system choose. The session
    // binds loopback when loopbackOnly, else every address. false with error set on failure.
    bool create(int localPortBase, bool loopbackOnly, std::string& error);
    // ipv4: most significant byte first. RTCP goes to port + 1.
    bool addDestination(uint32_t ipv4, uint16_t port, std::string& error);
    // Sends with the current timestamp, then advances it by timestampIncrement.
    bool send(std::span<const uint8_t> payload, bool marker, uint32_t timestampIncrement, std::string& error);
    // The RTCP BYE with reason to every destination, then no destination and no session.
    void bye(const char* reason);
    bool created() const { return mSession != nullptr; }
    // The bound RTP port (0 without a session).
    int localPort() const;

private:
    _RtpSession* mSession = nullptr;
    _RtpProfile* mProfile = nullptr;
    bool mHasDestination = false;
    uint32_t mTimestamp = 0;
};

}  // namespace kl
