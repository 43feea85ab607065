#include "foundation/ipc/IPCWire.h"

#include <algorithm>

#include <bit>
#include <cstring>
#include <unordered_set>

namespace kl::ipc {
namespace {

enum Tag : uint8_t {
    kTagNull = 0,
    kTagFalse = 1,
    kTagTrue = 2,
    kTagInt = 3,
    kTagUInt = 4,
    kTagDouble = 5,
    kTagString = 6,
    kTagData = 7,
    kTagDate = 8,
    kTagArray = 9,
    kTagDictionary = 10,
};

// The smallest encoding of one value and of one dictionary entry: bounds for counts.
constexpr size_t kMinValueSize = 1;
constexpr size_t kMinEntrySize = 4 + kMinValueSize;
// What an array or dictionary costs beyond its elements: the shared block and the vector.
constexpr size_t kContainerOverhead = 64;

// The element count of the largest array or dictionary in value.
size_t largestContainer(const Value& value) {
    size_t largest = 0;
    if (const Array* array = value.asArray()) {
        largest = array->size();
        for (const auto& element : *array) largest = std::max(largest, largestContainer(element));
    } else if (const Dictionary* dict = value.asDictionary()) {
        largest = dict->size();
        for (const auto& [key, element] : *dict) largest = std::max(largest, largestContainer(element));
    }
    return largest;
}

Error wireError(int64_t code, std::string text) { return Error::withDescription(kIPCErrorDomain, code, std::move(text)); }

void putU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void putU64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t getU32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

uint64_t getU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

class Encoder {
public:
    explicit Encoder(Bytes& out) : out_(out) {}

    // False with error set when a limit is exceeded.
    bool put(const Value& v, unsigned depth) {
        if (depth > kMaxNestingDepth) return fail("nested deeper than the limit");
        if (out_.size() > kFrameHeaderSize + kMaxFrameBody) return fail("body larger than the limit");
        switch (v.type()) {
        case Value::Type::Null: out_.push_back(kTagNull); return true;
        case Value::Type::Bool: out_.push_back(*v.asBool() ? kTagTrue : kTagFalse); return true;
        case Value::Type::Int:
            out_.push_back(kTagInt);
            putU64(out_, uint64_t(*v.asInt()));
            return true;
        case Value::Type::UInt:
            out_.push_back(kTagUInt);
            putU64(out_, *v.asUInt());
            return true;
        case Value::Type::Double:
            out_.push_back(kTagDouble);
            putU64(out_, std::bit_cast<uint64_t>(*v.asDouble()));
            return true;
        case Value::Type::Date:
            out_.push_back(kTagDate);
            putU64(out_, std::bit_cast<uint64_t>(v.asDate()->secondsSince1970));
            return true;
        case Value::Type::String: return putBlob(kTagString, *v.asString());
        case Value::Type::Bytes: {
            const Bytes& b = *v.asBytes();
            return putBlob(kTagData, std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
        }
        case Value::Type::Array: {
            const Array& a = *v.asArray();
            if (a.size() > kMaxFrameBody) return fail("array larger than the limit");
            out_.push_back(kTagArray);
            putU32(out_, uint32_t(a.size()));
            for (const Value& e : a)
                if (!put(e, depth + 1)) return false;
            return true;
        }
        case Value::Type::Dictionary: {
            const Dictionary& d = *v.asDictionary();
            if (d.size() > kMaxFrameBody) return fail("dictionary larger than the limit");
            comparisons_ += uint64_t(d.size()) * d.size() / 2;
            if (comparisons_ > kMaxKeyComparisons) return fail("dictionaries with too many keys");
            out_.push_back(kTagDictionary);
            putU32(out_, uint32_t(d.size()));
            for (const auto& [key, value] : d) {
                if (key.find('\0') != std::string::npos) return fail("key containing a NUL byte");
                if (key.size() > kMaxFrameBody) return fail("key larger than the limit");
                putU32(out_, uint32_t(key.size()));
                out_.insert(out_.end(), key.begin(), key.end());
                if (!put(value, depth + 1)) return false;
            }
            return true;
        }
        }
        return fail("value of unknown type");
    }

    const std::string& error() const { return error_; }

private:
    bool putBlob(uint8_t tag, std::string_view bytes) {
        if (bytes.size() > kMaxFrameBody) return fail("string or data larger than the limit");
        out_.push_back(tag);
        putU32(out_, uint32_t(bytes.size()));
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        return true;
    }

    bool fail(std::string text) {
        error_ = std::move(text);
        return false;
    }

    Bytes& out_;
    uint64_t comparisons_ = 0;
    std::string error_;
};

class Decoder {
public:
    explicit Decoder(std::span<const uint8_t> in) : in_(in), maxElements_(maxElementsPerContainer(in.size())) {}

    bool get(Value& out, unsigned depth) {
        if (depth > kMaxNestingDepth) return fail("nested deeper than the limit");
        uint8_t tag;
        if (!take(&tag, 1)) return false;
        decodedSize_ += sizeof(Value);
        switch (tag) {
        case kTagNull: out = Value(); return true;
        case kTagFalse: out = Value(false); return true;
        case kTagTrue: out = Value(true); return true;
        case kTagInt:
        case kTagUInt:
        case kTagDouble:
        case kTagDate: {
            uint8_t raw[8];
            if (!take(raw, 8)) return false;
            uint64_t bits = getU64(raw);
            if (tag == kTagInt) out = Value(int64_t(bits));
            else if (tag == kTagUInt) out = Value(bits);
            else if (tag == kTagDouble) out = Value(std::bit_cast<double>(bits));
            else out = Value(Date{std::bit_cast<double>(bits)});
            return true;
        }
        case kTagString: {
            std::string s;
            if (!takeBlob(s)) return false;
            decodedSize_ += s.size();
            out = Value(std::move(s));
            return true;
        }
        case kTagData: {
            std::string s;
            if (!takeBlob(s)) return false;
            decodedSize_ += s.size();
            out = Value(Bytes(s.begin(), s.end()));
            return true;
        }
        case kTagArray: return getArray(out, depth);
        case kTagDictionary: return getDictionary(out, depth);
        default: return fail("unknown value tag " + std::to_string(tag));
        }
    }

    size_t remaining() const { return in_.size() - pos_; }
    size_t decodedSize() const { return decodedSize_; }
    const std::string& error() const { return error_; }

private:
    bool getArray(Value& out, unsigned depth) {
        uint32_t count;
        if (!takeCount(count, kMinValueSize) || !withinElementLimit(count)) return false;
        decodedSize_ += kContainerOverhead;
        // The count is proven by the bytes left and capped by the body's size, so reserving it is
        // safe, and spares growth by doubling (up to twice the memory while decoding).
        Array array;
        array.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            Value element;
            if (!get(element, depth + 1)) return false;
            array.push_back(std::move(element));
        }
        out = Value(std::move(array));
        return true;
    }

    bool getDictionary(Value& out, unsigned depth) {
        uint32_t count;
        if (!takeCount(count, kMinEntrySize)) return false;
        comparisons_ += uint64_t(count) * count / 2;
        if (comparisons_ > kMaxKeyComparisons) return fail("dictionaries with too many keys");
        if (!withinElementLimit(count)) return false;
        decodedSize_ += kContainerOverhead + size_t(count) * (sizeof(Dictionary::Entry) - sizeof(Value));
        Dictionary dict;
        std::unordered_set<std::string> seen;
        for (uint32_t i = 0; i < count; ++i) {
            std::string key;
            if (!takeBlob(key)) return false;
            decodedSize_ += key.size();
            if (key.find('\0') != std::string::npos) return fail("key containing a NUL byte");
            if (!seen.insert(key).second) return fail("duplicate key \"" + key + "\"");
            Value value;
            if (!get(value, depth + 1)) return false;
            dict.set(std::move(key), std::move(value));
        }
        out = Value(std::move(dict));
        return true;
    }

    bool take(void* dst, size_t n) {
        if (remaining() < n) return fail("truncated value");
        std::memcpy(dst, in_.data() + pos_, n);
        pos_ += n;
        return true;
    }

    // A count of elements, each needing at least minSize bytes: a count the remaining bytes
    // cannot hold is refused before anything is allocated for it.
    bool takeCount(uint32_t& count, size_t minSize) {
        uint8_t raw[4];
        if (!take(raw, 4)) return false;
        count = getU32(raw);
        if (uint64_t(count) * minSize > remaining()) return fail("count larger than the bytes left");
        return true;
    }

    // Each null or boolean takes one byte on the wire and a whole Value in memory; a cap on
    // elements in proportion to the body keeps what a frame decodes to a small multiple of it.
    bool withinElementLimit(uint32_t count) {
        if (count <= maxElements_) return true;
        return fail("container of " + std::to_string(count) + " elements, more than " + std::to_string(maxElements_) +
                    " allowed in a body this size");
    }

    bool takeBlob(std::string& out) {
        uint32_t length;
        if (!takeCount(length, 1)) return false;
        out.assign(reinterpret_cast<const char*>(in_.data() + pos_), length);
        pos_ += length;
        return true;
    }

    bool fail(std::string text) {
        if (error_.empty()) error_ = std::move(text);
        return false;
    }

    std::span<const uint8_t> in_;
    size_t pos_ = 0;
    uint64_t comparisons_ = 0;
    const size_t maxElements_;
    size_t decodedSize_ = 0;
    std::string error_;
};

}  // namespace

size_t maxElementsPerContainer(size_t bodySize) { return kMinElementAllowance + bodySize / kWireBytesPerElement; }

Result<Bytes> encodeFrame(FrameKind kind, uint64_t requestId, const Value& body) {
    if (!body.isDictionary()) return wireError(1, "message body is not a dictionary");
    Bytes out(kFrameHeaderSize, 0);
    Encoder encoder(out);
    if (!encoder.put(body, 0)) return wireError(2, "message not sent: " + encoder.error());
    size_t length = out.size() - kFrameHeaderSize;
    if (length > kMaxFrameBody) return wireError(2, "message not sent: body larger than the limit");
    // The receiver would refuse it and drop the connection; better to say so here.
    if (largestContainer(body) > maxElementsPerContainer(length))
        return wireError(2, "message not sent: a container with more elements than a body this size may carry");
    Bytes header;
    header.reserve(kFrameHeaderSize);
    putU32(header, kFrameMagic);
    header.push_back(kWireVersion);
    header.push_back(uint8_t(kind));
    header.push_back(0);
    header.push_back(0);
    putU32(header, uint32_t(length));
    putU64(header, requestId);
    std::memcpy(out.data(), header.data(), kFrameHeaderSize);
    return out;
}

Result<FrameHeader> decodeFrameHeader(std::span<const uint8_t> h) {
    if (h.size() != kFrameHeaderSize) return wireError(3, "short frame header");
    if (getU32(h.data()) != kFrameMagic) return wireError(3, "bad frame magic");
    if (h[4] != kWireVersion) return wireError(3, "unsupported wire version " + std::to_string(h[4]));
    uint8_t kind = h[5];
    if (kind < uint8_t(FrameKind::Message) || kind > uint8_t(FrameKind::Reply))
        return wireError(3, "unknown frame kind " + std::to_string(kind));
    if (h[6] != 0 || h[7] != 0) return wireError(3, "unknown frame flags");
    FrameHeader header;
    header.kind = FrameKind(kind);
    header.length = getU32(h.data() + 8);
    header.requestId = getU64(h.data() + 12);
    if (header.length > kMaxFrameBody) return wireError(3, "frame length " + std::to_string(header.length) + " over the limit");
    bool wantsId = header.kind != FrameKind::Message;
    if (wantsId != (header.requestId != 0)) return wireError(3, "request id does not match the frame kind");
    return header;
}

Result<Value> decodeFrameBody(std::span<const uint8_t> body, size_t* decodedSize) {
    if (body.empty() || body[0] != kTagDictionary) return wireError(4, "message body is not a dictionary");
    Decoder decoder(body);
    Value value;
    if (!decoder.get(value, 0)) return wireError(4, "bad message body: " + decoder.error());
    if (decoder.remaining() != 0) return wireError(4, "bad message body: bytes after the value");
    if (decodedSize) *decodedSize = decoder.decodedSize();
    return value;
}

void FrameReader::append(const uint8_t* data, size_t size) {
    // Drop what was consumed once it dominates, so the buffer stays about one frame large.
    if (consumed_ > 0 && consumed_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + ptrdiff_t(consumed_));
        consumed_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
    // Room for exactly the frame under way: growth by doubling would hold up to twice its size.
    if (buffered() >= kFrameHeaderSize) {
        auto header = decodeFrameHeader(std::span<const uint8_t>(buffer_.data() + consumed_, kFrameHeaderSize));
        if (header) buffer_.reserve(consumed_ + kFrameHeaderSize + header->length);
    }
}

FrameReader::Status FrameReader::next(Frame& frame, std::string& error) {
    if (buffered() < kFrameHeaderSize) return Status::NeedMore;
    std::span<const uint8_t> rest(buffer_.data() + consumed_, buffered());
    auto header = decodeFrameHeader(rest.first(kFrameHeaderSize));
    if (!header) {
        error = header.error().description();
        return Status::Bad;
    }
    if (rest.size() < kFrameHeaderSize + header->length) return Status::NeedMore;
    size_t decodedSize = 0;
    auto body = decodeFrameBody(rest.subspan(kFrameHeaderSize, header->length), &decodedSize);
    if (!body) {
        error = body.error().description();
        return Status::Bad;
    }
    frame.wireSize = kFrameHeaderSize + header->length;
    frame.decodedSize = decodedSize;
    consumed_ += frame.wireSize;
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
    frame.kind = header->kind;
    frame.requestId = header->requestId;
    frame.body = std::move(body).value();
    return Status::GotFrame;
}

}  // namespace kl::ipc
