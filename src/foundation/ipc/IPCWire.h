// The wire format of the local IPC transport: fixed-size frame headers and a tagged, little-endian,
// length-checked encoding of kl::Value bodies. Both ends (daemon and control app) link this, and
// everything read from a socket goes through decodeFrameHeader / decodeFrameBody, which refuse
// anything that does not fit instead of trusting counts or lengths.
//
// Header (20 bytes, little-endian):
//   u32 magic "KLIP" | u8 version | u8 kind | u16 flags (0) | u32 body length | u64 request id
// Body: one encoded value, which must be a dictionary.
// Value: u8 tag, then
//   0 null | 1 false | 2 true | 3 int64 | 4 uint64 | 5 double | 8 date (double seconds since 1970)
//   6 string, 7 data: u32 length + bytes
//   9 array: u32 count + values
//  10 dictionary: u32 count + (u32 key length + key bytes + value) per entry; keys unique, no NUL
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl::ipc {

inline constexpr const char* kIPCErrorDomain = "com.kelvaro.ipc";

inline constexpr uint32_t kFrameMagic = 0x50494C4B;  // the bytes "KLIP"
inline constexpr uint8_t kWireVersion = 1;
inline constexpr size_t kFrameHeaderSize = 20;
// Control messages are small (the largest is a host list); anything bigger is refused.
inline constexpr size_t kMaxFrameBody = 4u << 20;
inline constexpr unsigned kMaxNestingDepth = 32;
// kl::Dictionary looks keys up linearly, so building one with n keys costs about n*n/2 key
// comparisons. Bodies whose dictionaries together would cost more than this are refused, so that a
// hostile peer cannot pin a thread with a frame full of huge dictionaries.
inline constexpr uint64_t kMaxKeyComparisons = 16u << 20;

// Elements of one array or dictionary: at most kMinElementAllowance plus one per
// kWireBytesPerElement bytes of the body it came in (see maxElementsPerContainer).
inline constexpr size_t kMinElementAllowance = 1024;
inline constexpr size_t kWireBytesPerElement = 8;
size_t maxElementsPerContainer(size_t bodySize);

enum class FrameKind : uint8_t {
    Message = 1,  // no reply wanted; request id 0
    Request = 2,  // the receiver may answer with one Reply carrying the same request id
    Reply = 3,
};

struct FrameHeader {
    FrameKind kind = FrameKind::Message;
    uint32_t length = 0;
    uint64_t requestId = 0;
};

struct Frame {
    FrameKind kind = FrameKind::Message;
    uint64_t requestId = 0;
    Value body;
    size_t wireSize = 0;     // header and body as read
    size_t decodedSize = 0;  // about what the body takes in memory once decoded
};

// A whole frame ready to write, or an error when the body is no dictionary or exceeds a limit.
Result<Bytes> encodeFrame(FrameKind kind, uint64_t requestId, const Value& body);

// Checks magic, version, kind, flags, length limit and the request id rule of the kind.
Result<FrameHeader> decodeFrameHeader(std::span<const uint8_t> header);

// Decodes a body of exactly header.length bytes; the top level must be a dictionary and every
// byte must be used. decodedSize, when given, receives about what the value takes in memory.
Result<Value> decodeFrameBody(std::span<const uint8_t> body, size_t* decodedSize = nullptr);

// Collects bytes read from a stream and cuts them into frames.
class FrameReader {
public:
    enum class Status { NeedMore, GotFrame, Bad };

    void append(const uint8_t* data, size_t size);
    // The next complete frame into frame, NeedMore, or Bad with a reason in error (after Bad the
    // stream is out of step and must be closed).
    Status next(Frame& frame, std::string& error);
    // Bytes held but not yet returned as frames.
    size_t buffered() const { return buffer_.size() - consumed_; }

private:
    Bytes buffer_;
    size_t consumed_ = 0;
};

}  // namespace kl::ipc
