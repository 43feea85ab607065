#include "platform/ValueJson.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace kl {
namespace {

using json = nlohmann::json;

Value fromJson(const json& j) {
    switch (j.type()) {
    case json::value_t::null: return Value();
    case json::value_t::boolean: return Value(j.get<bool>());
    case json::value_t::number_integer: return Value(int64_t(j.get<int64_t>()));
    case json::value_t::number_unsigned: {
        uint64_t u = j.get<uint64_t>();
        if (u <= uint64_t(std::numeric_limits<int64_t>::max())) return Value(int64_t(u));
        return Value(u);
    }
    case json::value_t::number_float: return Value(j.get<double>());
    case json::value_t::string: return Value(j.get<std::string>());
    case json::value_t::binary: {
        const auto& b = j.get_binary();
        return Value(Bytes(b.begin(), b.end()));
    }
    case json::value_t::array: {
        Array a;
        a.reserve(j.size());
        for (const auto& e : j) a.push_back(fromJson(e));
        return Value(std::move(a));
    }
    case json::value_t::object: {
        Dictionary d;
        for (auto it = j.begin(); it != j.end(); ++it) d.set(it.key(), fromJson(it.value()));
        return Value(std::move(d));
    }
    case json::value_t::discarded: break;
    }
    return Value();
}

std::string base64Standard(const Bytes& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += alphabet[(n >> s) & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        uint32_t n = bytes[i] << 16;
        if (rest == 2) n |= bytes[i + 1] << 8;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += rest == 2 ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

json toJson(const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: return nullptr;
    case Value::Type::Bool: return *v.asBool();
    case Value::Type::Int: return *v.asInt();
    case Value::Type::UInt: return *v.asUInt();
    case Value::Type::Double: return *v.asDouble();
    case Value::Type::String: return *v.asString();
    case Value::Type::Bytes: return base64Standard(*v.asBytes());
    case Value::Type::Date: return v.asDate()->secondsSince1970;
    case Value::Type::Array: {
        json a = json::array();
        for (const auto& e : *v.asArray()) a.push_back(toJson(e));
        return a;
    }
    case Value::Type::Dictionary: {
        json o = json::object();
        for (const auto& [k, e] : *v.asDictionary()) o[k] = toJson(e);
        return o;
    }
    }
    return nullptr;
}

}  // namespace

Result<Value> valueFromJson(std::string_view text, JsonParseOptions options) {
    int depth = 0;
    bool tooDeep = false;
    json::parser_callback_t limitDepth = [&](int d, json::parse_event_t event, json&) {
        if (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) {
            depth = d + 1;
            if (depth > options.maxDepth) tooDeep = true;
        }
        return !tooDeep;
    };
    json parsed = json::parse(text.begin(), text.end(), limitDepth, /*allow_exceptions=*/false);
    if (tooDeep)
        return Error::withDescription(kJsonErrorDomain, 2, "JSON nesting exceeds the limit");
    if (parsed.is_discarded())
        return Error::withDescription(kJsonErrorDomain, 1, "The data is not valid JSON");
    if (options.requireContainer && !parsed.is_object() && !parsed.is_array())
        return Error::withDescription(kJsonErrorDomain, 3, "JSON text did not start with array or object");
    return fromJson(parsed);
}

std::string valueToJson(const Value& value, bool pretty) {
    // Invalid UTF-8 in strings is replaced rather than thrown on.
    return toJson(value).dump(pretty ? 2 : -1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kl
