#include "screen/rtp/RTPTransmitter.h"

#include <arpa/inet.h>
#include <ortp/ortp.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "foundation/KLTLogging.h"
#include "screen/rtp/RTPFragments.h"

namespace kl {
namespace {

// oRTP's messages go to the service's log.
void ortpLog(const char*, OrtpLogLevel level, const char* format, va_list args) {
    KLTLoggingLevel ours = kKLTLoggingLevelVerbose;
    if (level == ORTP_FATAL || level == ORTP_ERROR) ours = kKLTLoggingLevelError;
    else if (level == ORTP_WARNING) ours = kKLTLoggingLevelInfo;
    else if (level == ORTP_MESSAGE) ours = kKLTLoggingLevelDebug;
    if (!logLevelEnabled(ours)) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    KLLog(ours, "oRTP: %s", text);
}

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        ortp_init();
        ortp_set_log_handler(ortpLog);
    });
}

std::string addressText(uint32_t ipv4) {
    in_addr address{htonl(ipv4)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string systemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

RTPTransmitter::RTPTransmitter() { initialiseLibrary(); }

RTPTransmitter::~RTPTransmitter() {
    if (mSession) rtp_session_destroy(mSession);
    if (mProfile) rtp_profile_destroy(mProfile);
}

bool RTPTransmitter::create(int localPortBase, bool loopbackOnly, std::string& error) {
    if (mSession) return true;
    RtpSession* session = rtp_session_new(RTP_SESSION_SENDONLY);
    if (!session) {
        error = "no RTP session could be made";
        return false;
    }
    rtp_session_set_scheduling_mode(session, 0);
    rtp_session_set_blocking_mode(session, 0);
    errno = 0;
    const char* local = loopbackOnly ? "127.0.0.1" : "0.0.0.0";
    if (rtp_session_set_local_addr(session, local, localPortBase, localPortBase < 0 ? -1 : localPortBase + 1) != 0) {
        error = systemError("cannot bind the local RTP ports");
        rtp_session_destroy(session);
        return false;
    }
    RtpProfile* profile = rtp_profile_new("screen");
    PayloadType* type = payload_type_new();
    type->type = PAYLOAD_VIDEO;
    type->clock_rate = 90000;
    type->mime_type = ortp_strdup("x-screen");
    rtp_profile_set_payload(profile, kRTPPayloadType, type);
    rtp_session_set_profile(session, profile);
    rtp_session_set_payload_type(session, kRTPPayloadType);
    mSession = session;
    mProfile = profile;
    return true;
}

int RTPTransmitter::localPort() const { return mSession ? rtp_session_get_local_port(mSession) : 0; }

bool RTPTransmitter::addDestination(uint32_t ipv4, uint16_t port, std::string& error) {
    if (!mSession) {
        error = "no RTP session";
        return false;
    }
    const std::string address = addressText(ipv4);
    errno = 0;
    int result = mHasDestination
                     ? rtp_session_add_aux_remote_addr_full(mSession, address.c_str(), port, address.c_str(), port + 1)
                     : rtp_session_set_remote_addr_and_port(mSession, address.c_str(), port, port + 1);
    if (result != 0) {
        error = systemError(("cannot add the destination " + address).c_str());
        return false;
    }
    mHasDestination = true;
    return true;
}

bool RTPTransmitter::send(std::span<const uint8_t> payload, bool marker, uint32_t timestampIncrement,
                          std::string& error) {
    if (!mSession || !mHasDestination) {
        error = "no RTP session or destination";
        return false;
    }
    mblk_t* packet = rtp_session_create_packet(mSession, RTP_FIXED_HEADER_SIZE, payload.data(), payload.size());
    rtp_set_markbit(packet, marker ? 1 : 0);
    errno = 0;
    const int sent = rtp_session_sendm_with_ts(mSession, packet, mTimestamp);
    mTimestamp += timestampIncrement;
    if (sent < 0) {
        error = systemError("RTP send failed");
        return false;
    }
    return true;
}

void RTPTransmitter::bye(const char* reason) {
    if (!mSession) return;
    // The BYE goes out before the destinations are dropped: without them it would reach no one.
    if (mHasDestination) rtp_session_bye(mSession, reason);
    rtp_session_clear_aux_remote_addr(mSession);
    rtp_session_destroy(mSession);
    mSession = nullptr;
    mHasDestination = false;
}

}  // namespace kl
