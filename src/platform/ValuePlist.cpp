#include "platform/ValuePlist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

namespace kl {
namespace {

// Property-list dates count from 2001-01-01 UTC.
constexpr double kPlistEpochOffset = 978307200.0;
constexpr int kMaxDepth = 512;

struct PlistDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

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
        char* s = nullptr;
        plist_get_string_val(node, &s);
        out = Value(std::string(s ? s : ""));
        std::free(s);
        return true;
    }
    case PLIST_KEY: {
        char* s = nullptr;
        plist_get_key_val(node, &s);
        out = Value(std::string(s ? s : ""));
        std::free(s);
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
        uint32_t n = plist_array_get_size(node);
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            Value e;
            if (!fromPlist(plist_array_get_item(node, i), e, depth + 1)) return false;
            a.push_back(std::move(e));
        }
        out = Value(std::move(a));
        return true;
    }
    case PLIST_DICT: {
        Dictionary d;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return false;
        bool ok = true;
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            Value e;
            if (!fromPlist(item, e, depth + 1)) {
                std::free(key);
                ok = false;
                break;
            }
            d.set(key ? key : "", std::move(e));
            std::free(key);
        }
        std::free(it);
        if (ok) out = Value(std::move(d));
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
    if (plist_is_binary(data.data(), uint32_t(data.size())))
        plist_from_bin(data.data(), uint32_t(data.size()), &raw);
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
