#include "platform/ValuePlist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kl {
namespace {

// Property-list dates count from 2001-01-01 UTC.
constexpr double kPlistEpochOffset = 978307200.0;
constexpr int kMaxDepth = 512;

struct PlistDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

uint64_t bigEndian(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The text of a dictionary key, by its length. The library has no length-aware getter for keys and
// its C-string getter aborts the process on a key that holds a NUL (possible in a UTF-16 key of a
// binary property list), so the key node is written out as a one-object binary property list, whose
// string object carries its length, and read back from there.
std::optional<std::string> keyText(plist_t keyNode) {
    if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY) return std::nullopt;
    char* raw = nullptr;
    uint32_t size = 0;
    plist_to_bin(keyNode, &raw, &size);
    std::unique_ptr<char, decltype(&std::free)> owned(raw, &std::free);
    const auto* p = reinterpret_cast<const uint8_t*>(raw);
    // "bplist00", then the object: a marker 0x5N (ASCII) or 0x6N (UTF-16BE), N the count or 0xF
    // followed by an integer object 0x1M of 2^M bytes.
    constexpr size_t kObject = 8;
    if (!raw || size <= kObject || std::memcmp(raw, "bplist00", 8) != 0) return std::nullopt;
    size_t at = kObject;
    uint8_t marker = p[at++];
    uint64_t count = marker & 0x0F;
    if (count == 0x0F) {
        if (at >= size || (p[at] & 0xF0) != 0x10 || (p[at] & 0x0F) > 3) return std::nullopt;
        size_t width = size_t(1) << (p[at] & 0x0F);
        if (size - at - 1 < width) return std::nullopt;
        count = bigEndian(p + at + 1, width);
        at += 1 + width;
    }
    std::string text;
    if ((marker & 0xF0) == 0x50) {
        if (count > size - at) return std::nullopt;
        text.assign(raw + at, size_t(count));
        return text;
    }
    if ((marker & 0xF0) != 0x60 || count > (size - at) / 2) return std::nullopt;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t c = uint32_t(bigEndian(p + at + 2 * i, 2));
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            uint32_t low = uint32_t(bigEndian(p + at + 2 * (i + 1), 2));
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(text, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(text, c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);  // a lone surrogate
    }
    return text;
}

// A binary property list names each object once and refers to it by number, so an object can be
// referred to many times; the library copies it for each reference. Three levels of arrays of 300
// references each, 2 KB on disk, become 27 million nodes. The number of nodes the references give
// is counted here first (each object's count once), and a list that would expand to more than
// kMaxNodesPerByte per byte of its size (plus kMinNodeAllowance) is refused before the library
// expands it. False for that and for a loop of references; a list that does not parse here is left
// to the library to refuse.
constexpr uint64_t kMaxNodesPerByte = 4;
constexpr uint64_t kMinNodeAllowance = 4096;

bool binaryExpansionWithinLimit(std::string_view data) {
    constexpr size_t kTrailer = 32, kHeader = 8;
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    if (data.size() < kHeader + kTrailer) return true;
    const uint8_t* trailer = p + data.size() - kTrailer;
    const size_t offsetSize = trailer[6], refSize = trailer[7];
    const uint64_t objects = bigEndian(trailer + 8, 8), tableAt = bigEndian(trailer + 24, 8);
    const uint64_t objectsEnd = data.size() - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objects == 0 || tableAt > objectsEnd ||
        objects > (objectsEnd - tableAt) / offsetSize)
        return true;
    const uint64_t limit = kMinNodeAllowance + kMaxNodesPerByte * data.size();

    // The references an object holds, as [first, first + count * refSize); none for a leaf.
    auto references = [&](uint64_t object, const uint8_t*& first, uint64_t& count) {
        count = 0;
        uint64_t at = bigEndian(p + tableAt + object * offsetSize, offsetSize);
        if (at < kHeader || at >= tableAt) return false;
        uint8_t marker = p[at++];
        uint8_t type = marker >> 4;
        if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return true;  // a leaf
        count = marker & 0x0F;
        if (count == 0x0F) {
            if (at >= tableAt || (p[at] >> 4) != 0x1 || (p[at] & 0x0F) > 3) return false;
            size_t width = size_t(1) << (p[at] & 0x0F);
            if (tableAt - at - 1 < width) return false;
            count = bigEndian(p + at + 1, width);
            at += 1 + width;
        }
        if (type == 0xD) {
            if (count > UINT64_MAX / 2) return false;
            count *= 2;  // keys, then values
        }
        if (count > (tableAt - at) / refSize) return false;
        first = p + at;
        return true;
    };

    // Depth-first from the top object without recursion; each object's node count is kept.
    constexpr uint64_t kUnknown = UINT64_MAX, kVisiting = UINT64_MAX - 1;
    std::vector<uint64_t> nodes(size_t(objects), kUnknown);
    struct Frame {
        uint64_t object;
        const uint8_t* refs;
        uint64_t count, next, total;
    };
    std::vector<Frame> stack;
    uint64_t top = bigEndian(trailer + 16, 8);
    if (top >= objects) return true;
    auto enter = [&](uint64_t object) {
        Frame frame{object, nullptr, 0, 0, 1};
        if (!references(object, frame.refs, frame.count)) return false;
        nodes[size_t(object)] = kVisiting;
        stack.push_back(frame);
        return true;
    };
    if (!enter(top)) return true;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.count) {
            uint64_t total = frame.total;
            nodes[size_t(frame.object)] = total;
            stack.pop_back();
            if (stack.empty()) return total <= limit;
            stack.back().total = std::min(limit + 1, stack.back().total + total);
            if (stack.back().total > limit) return false;
            continue;
        }
        uint64_t child = bigEndian(frame.refs + frame.next * refSize, refSize);
        ++frame.next;
        if (child >= objects) return true;  // the library refuses it
        if (nodes[size_t(child)] == kVisiting) return false;  // a loop: no tree at all
        if (nodes[size_t(child)] != kUnknown) {
            frame.total = std::min(limit + 1, frame.total + nodes[size_t(child)]);
            if (frame.total > limit) return false;
            continue;
        }
        if (!enter(child)) return true;
    }
    return true;
}

bool fromPlist(plist_t node, Value& out, int depth) {
    if (depth > kMaxDepth) return false;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out = Value(b != 0);
        return true;
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        // The library stores negative numbers as their two's complement; prefer the signed
        // reading, which is what every writer of ours means for such a bit pattern.
        out = Value(int64_t(u));
        return true;
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        out = Value(d);
        return true;
    }
    case PLIST_STRING: {
        // By length: a string read from UTF-16 may hold a NUL, which the C-string getter rejects
        // by aborting the process.
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        out = Value(s ? std::string(s, size_t(length)) : std::string());
        return true;
    }
    case PLIST_KEY: {
        auto key = keyText(node);
        if (!key) return false;
        out = Value(std::move(*key));
        return true;
    }
    case PLIST_DATA: {
        char* d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        out = Value(Bytes(reinterpret_cast<uint8_t*>(d), reinterpret_cast<uint8_t*>(d) + (d ? len : 0)));
        std::free(d);
        return true;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        out = Value(Date{double(sec) + double(usec) / 1e6 + kPlistEpochOffset});
        return true;
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        out = Value(u);
        return true;
    }
    case PLIST_ARRAY: {
        Array a;
        a.reserve(plist_array_get_size(node));
        // By iterator: the library finds an item by index by walking the list from its start.
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        if (!it) return false;
        std::unique_ptr<void, decltype(&std::free)> iterator(it, &std::free);
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, it, &item);
            if (!item) break;
            Value e;
            if (!fromPlist(item, e, depth + 1)) return false;
            a.push_back(std::move(e));
        }
        out = Value(std::move(a));
        return true;
    }
    case PLIST_DICT: {
        std::vector<Dictionary::Entry> entries;
        entries.reserve(plist_dict_get_size(node));
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return false;
        bool ok = true;
        for (;;) {
            plist_t item = nullptr;
            // No key out of the iterator: it would read it as a C string (see keyText).
            plist_dict_next_item(node, it, nullptr, &item);
            if (!item) break;
            auto key = keyText(plist_dict_item_get_key(item));
            Value e;
            if (!key || !fromPlist(item, e, depth + 1)) {
                ok = false;
                break;
            }
            entries.emplace_back(std::move(*key), std::move(e));
        }
        std::free(it);
        if (ok) out = Value(Dictionary::fromEntries(std::move(entries)));
        return ok;
    }
    default: return false;
    }
}

plist_t toPlist(const Value& v, int depth) {
    if (depth > kMaxDepth) return nullptr;
    switch (v.type()) {
    case Value::Type::Null: return nullptr;  // property lists have no null
    case Value::Type::Bool: return plist_new_bool(*v.asBool());
    case Value::Type::Int: return plist_new_uint(uint64_t(*v.asInt()));
    case Value::Type::UInt: return plist_new_uint(*v.asUInt());
    case Value::Type::Double: return plist_new_real(*v.asDouble());
    case Value::Type::String: return plist_new_string(v.asString()->c_str());
    case Value::Type::Bytes: {
        const Bytes& b = *v.asBytes();
        return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case Value::Type::Date: {
        double t = v.asDate()->secondsSince1970 - kPlistEpochOffset;
        double whole = std::floor(t);
        if (whole < std::numeric_limits<int32_t>::min() || whole > std::numeric_limits<int32_t>::max())
            return nullptr;
        return plist_new_date(int32_t(whole), int32_t(std::lround((t - whole) * 1e6)));
    }
    case Value::Type::Array: {
        plist_t a = plist_new_array();
        for (const auto& e : *v.asArray()) {
            plist_t item = toPlist(e, depth + 1);
            if (!item) {
                plist_free(a);
                return nullptr;
            }
            plist_array_append_item(a, item);
        }
        return a;
    }
    case Value::Type::Dictionary: {
        plist_t d = plist_new_dict();
        for (const auto& [k, e] : *v.asDictionary()) {
            plist_t item = toPlist(e, depth + 1);
            if (!item) {
                plist_free(d);
                return nullptr;
            }
            plist_dict_set_item(d, k.c_str(), item);
        }
        return d;
    }
    }
    return nullptr;
}

}  // namespace

Result<Value> valueFromPlist(std::string_view data) {
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max())
        return Error::withDescription(kPlistErrorDomain, 1, "The data is not a property list");
    plist_t raw = nullptr;  // the library leaves it untouched on failure
    if (plist_is_binary(data.data(), uint32_t(data.size()))) {
        if (!binaryExpansionWithinLimit(data))
            return Error::withDescription(kPlistErrorDomain, 2,
                                          "The property list refers to its objects so often that it would expand far beyond its size");
        plist_from_bin(data.data(), uint32_t(data.size()), &raw);
    }
    else
        plist_from_xml(data.data(), uint32_t(data.size()), &raw);
    PlistPtr root(raw);
    if (!root) return Error::withDescription(kPlistErrorDomain, 1, "The data is not a property list");
    Value out;
    if (!fromPlist(root.get(), out, 0))
        return Error::withDescription(kPlistErrorDomain, 2, "The property list holds an unsupported or too deeply nested value");
    return out;
}

Result<Bytes> valueToPlist(const Value& value, PlistFormat format) {
    PlistPtr root(toPlist(value, 0));
    if (!root)
        return Error::withDescription(kPlistErrorDomain, 3, "The value cannot be written as a property list (null or out-of-range date)");
    char* out = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::Binary)
        plist_to_bin(root.get(), &out, &length);
    else
        plist_to_xml(root.get(), &out, &length);
    if (!out) return Error::withDescription(kPlistErrorDomain, 4, "The property list could not be serialised");
    Bytes bytes(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + length);
    std::free(out);
    return bytes;
}

}  // namespace kl
