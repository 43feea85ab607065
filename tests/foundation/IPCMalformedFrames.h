// Frames that a listener must refuse, for the codec tests, the live listener test and the hostile
// client of the flood test.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "foundation/ipc/IPCWire.h"

namespace kl::ipc::test {

struct MalformedFrame {
    std::string name;
    Bytes bytes;
    std::string reason;  // part of the refusal text
};

inline void putLE(Bytes& out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

inline Bytes rawHeader(uint32_t magic, uint8_t version, uint8_t kind, uint16_t flags, uint32_t length, uint64_t id) {
    Bytes h;
    putLE(h, magic, 4);
    h.push_back(version);
    h.push_back(kind);
    putLE(h, flags, 2);
    putLE(h, length, 4);
    putLE(h, id, 8);
    return h;
}

// A message frame around body, with a header that matches it.
inline Bytes frameAround(const Bytes& body, uint8_t kind = 1, uint64_t id = 0) {
    Bytes frame = rawHeader(kFrameMagic, kWireVersion, kind, 0, uint32_t(body.size()), id);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// The body of {key: <rest>}: dictionary tag, one entry, the key, then rest as the value.
inline Bytes oneEntry(const std::string& key, const Bytes& value) {
    Bytes body{10};
    putLE(body, 1, 4);
    putLE(body, key.size(), 4);
    body.insert(body.end(), key.begin(), key.end());
    body.insert(body.end(), value.begin(), value.end());
    return body;
}

// The body of {"a": [count nulls]}: one wire byte per element, a whole value each in memory.
inline Bytes arrayOfNulls(uint32_t count) {
    Bytes array{9};
    putLE(array, count, 4);
    array.insert(array.end(), count, 0);
    return oneEntry("a", array);
}

// True once the other end has closed a connected socket (or it failed).
inline bool closedByPeer(int fd) {
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

inline std::vector<MalformedFrame> malformedFrames() {
    Bytes good = oneEntry("command", Bytes{0});
    std::vector<MalformedFrame> corpus;
    auto withHeader = [&](std::string name, Bytes header, Bytes body, std::string reason) {
        header.insert(header.end(), body.begin(), body.end());
        corpus.push_back({std::move(name), std::move(header), std::move(reason)});
    };
    uint32_t n = uint32_t(good.size());
    withHeader("bad magic", rawHeader(0x11223344, kWireVersion, 1, 0, n, 0), good, "magic");
    withHeader("unsupported version", rawHeader(kFrameMagic, 9, 1, 0, n, 0), good, "version");
    withHeader("unknown kind", rawHeader(kFrameMagic, kWireVersion, 7, 0, n, 0), good, "kind");
    withHeader("unknown flags", rawHeader(kFrameMagic, kWireVersion, 1, 1, n, 0), good, "flags");
    withHeader("length over the limit", rawHeader(kFrameMagic, kWireVersion, 1, 0, uint32_t(kMaxFrameBody + 1), 0), {},
               "over the limit");
    withHeader("message with a request id", rawHeader(kFrameMagic, kWireVersion, 1, 0, n, 7), good, "request id");
    withHeader("request without an id", rawHeader(kFrameMagic, kWireVersion, 2, 0, n, 0), good, "request id");

    auto body = [&](std::string name, Bytes b, std::string reason) {
        corpus.push_back({std::move(name), frameAround(b), std::move(reason)});
    };
    body("empty body", {}, "not a dictionary");
    body("array at the top", Bytes{9, 0, 0, 0, 0}, "not a dictionary");
    body("count larger than the bytes left", Bytes{10, 0xff, 0xff, 0xff, 0xff}, "count larger");
    Bytes longString{6};
    putLE(longString, 1000, 4);
    longString.insert(longString.end(), {'a', 'b'});
    body("string running past the end", oneEntry("a", longString), "count larger");
    body("truncated integer", oneEntry("a", Bytes{3, 1, 2, 3}), "truncated");
    body("unknown tag", oneEntry("a", Bytes{99}), "unknown value tag");
    Bytes deep;
    for (unsigned i = 0; i < kMaxNestingDepth + 2; ++i) {
        deep.push_back(9);
        putLE(deep, 1, 4);
    }
    deep.push_back(0);
    body("nested too deep", oneEntry("a", deep), "nested deeper");
    Bytes twice{10};
    putLE(twice, 2, 4);
    for (int i = 0; i < 2; ++i) {
        putLE(twice, 1, 4);
        twice.push_back('a');
        twice.push_back(0);
    }
    body("duplicate key", twice, "duplicate key");
    body("NUL in a key", oneEntry(std::string("a\0b", 3), Bytes{0}), "NUL");
    Bytes trailing = good;
    trailing.push_back(0);
    body("bytes after the value", trailing, "bytes after");
    return corpus;
}

}  // namespace kl::ipc::test
