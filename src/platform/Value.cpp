#include "platform/Value.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace kl {

Date Date::now() {
    using namespace std::chrono;
    return Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
}

Dictionary Dictionary::fromEntries(std::vector<Entry> entries) {
    Dictionary d;
    d.entries_.reserve(entries.size());
    std::unordered_map<std::string_view, size_t> places;
    places.reserve(entries.size());
    for (auto& entry : entries) {
        if (auto known = places.find(entry.first); known != places.end()) {
            d.entries_[known->second].second = std::move(entry.second);
            continue;
        }
        // Reserved above, so the stored keys the map views never move.
        d.entries_.push_back(std::move(entry));
        places.emplace(d.entries_.back().first, d.entries_.size() - 1);
    }
    return d;
}

const Value* Dictionary::find(std::string_view key) const {
    for (const auto& e : entries_)
        if (e.first == key) return &e.second;
    return nullptr;
}

Value* Dictionary::find(std::string_view key) {
    for (auto& e : entries_)
        if (e.first == key) return &e.second;
    return nullptr;
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

Value& Dictionary::operator[](std::string_view key) {
    if (Value* existing = find(key)) return *existing;
    entries_.emplace_back(std::string(key), Value());
    return entries_.back().second;
}

bool Dictionary::erase(std::string_view key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

// Key order does not matter for equality: two dictionaries are equal when they hold the same keys
// with equal values.
bool Dictionary::operator==(const Dictionary& other) const {
    if (size() != other.size()) return false;
    for (const auto& e : entries_) {
        const Value* o = other.find(e.first);
        if (!o || !(*o == e.second)) return false;
    }
    return true;
}

Value::Value(const Value& other) { *this = other; }

Value& Value::operator=(const Value& other) {
    if (this == &other) return *this;
    // Containers are held by pointer so that Value stays small; copies are deep.
    if (auto a = std::get_if<std::shared_ptr<kl::Array>>(&other.v_))
        v_ = std::make_shared<kl::Array>(**a);
    else if (auto d = std::get_if<std::shared_ptr<kl::Dictionary>>(&other.v_))
        v_ = std::make_shared<kl::Dictionary>(**d);
    else
        v_ = other.v_;
    return *this;
}

const char* Value::typeName(Type t) {
    switch (t) {
    case Type::Null: return "null";
    case Type::Bool: return "bool";
    case Type::Int: return "int";
    case Type::UInt: return "uint";
    case Type::Double: return "double";
    case Type::String: return "string";
    case Type::Bytes: return "bytes";
    case Type::Date: return "date";
    case Type::Array: return "array";
    case Type::Dictionary: return "dictionary";
    }
    return "?";
}

std::optional<bool> Value::asBool() const {
    if (auto b = std::get_if<bool>(&v_)) return *b;
    return std::nullopt;
}

std::optional<int64_t> Value::asInt() const {
    if (auto i = std::get_if<int64_t>(&v_)) return *i;
    if (auto u = std::get_if<uint64_t>(&v_)) {
        if (*u <= uint64_t(std::numeric_limits<int64_t>::max())) return int64_t(*u);
    }
    return std::nullopt;
}

std::optional<uint64_t> Value::asUInt() const {
    if (auto u = std::get_if<uint64_t>(&v_)) return *u;
    if (auto i = std::get_if<int64_t>(&v_)) {
        if (*i >= 0) return uint64_t(*i);
    }
    return std::nullopt;
}

std::optional<double> Value::asDouble() const {
    if (auto d = std::get_if<double>(&v_)) return *d;
    if (auto i = std::get_if<int64_t>(&v_)) return double(*i);
    if (auto u = std::get_if<uint64_t>(&v_)) return double(*u);
    return std::nullopt;
}

const std::string* Value::asString() const { return std::get_if<std::string>(&v_); }
const kl::Bytes* Value::asBytes() const { return std::get_if<kl::Bytes>(&v_); }

std::optional<kl::Date> Value::asDate() const {
    if (auto d = std::get_if<kl::Date>(&v_)) return *d;
    return std::nullopt;
}

const kl::Array* Value::asArray() const {
    auto a = std::get_if<std::shared_ptr<kl::Array>>(&v_);
    return a ? a->get() : nullptr;
}

const kl::Dictionary* Value::asDictionary() const {
    auto d = std::get_if<std::shared_ptr<kl::Dictionary>>(&v_);
    return d ? d->get() : nullptr;
}

kl::Array* Value::asArray() {
    auto a = std::get_if<std::shared_ptr<kl::Array>>(&v_);
    return a ? a->get() : nullptr;
}

kl::Dictionary* Value::asDictionary() {
    auto d = std::get_if<std::shared_ptr<kl::Dictionary>>(&v_);
    return d ? d->get() : nullptr;
}

const Value* Value::get(std::string_view key) const {
    const kl::Dictionary* d = asDictionary();
    return d ? d->find(key) : nullptr;
}

std::string Value::stringOr(std::string_view key, std::string fallback) const {
    const Value* v = get(key);
    const std::string* s = v ? v->asString() : nullptr;
    return s ? *s : std::move(fallback);
}

int64_t Value::intOr(std::string_view key, int64_t fallback) const {
    const Value* v = get(key);
    auto i = v ? v->asInt() : std::nullopt;
    return i ? *i : fallback;
}

uint64_t Value::uintOr(std::string_view key, uint64_t fallback) const {
    const Value* v = get(key);
    auto u = v ? v->asUInt() : std::nullopt;
    return u ? *u : fallback;
}

bool Value::operator==(const Value& other) const {
    if (type() != other.type()) return false;
    if (const kl::Array* a = asArray()) return *a == *other.asArray();
    if (const kl::Dictionary* d = asDictionary()) return *d == *other.asDictionary();
    if (auto x = std::get_if<double>(&v_)) {
        double y = std::get<double>(other.v_);
        return *x == y || (std::isnan(*x) && std::isnan(y));
    }
    return v_ == other.v_;
}

namespace {

void appendQuoted(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    out += '"';
}

void describe(const Value& v, std::string& out) {
    switch (v.type()) {
    case Value::Type::Null: out += "null"; break;
    case Value::Type::Bool: out += *v.asBool() ? "true" : "false"; break;
    case Value::Type::Int: out += std::to_string(*v.asInt()); break;
    case Value::Type::UInt: out += std::to_string(*v.asUInt()); break;
    case Value::Type::Double: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", *v.asDouble());
        out += buf;
        break;
    }
    case Value::Type::String: appendQuoted(out, *v.asString()); break;
    case Value::Type::Bytes: {
        static const char* hex = "0123456789abcdef";
        out += '<';
        for (uint8_t b : *v.asBytes()) {
            out += hex[b >> 4];
            out += hex[b & 15];
        }
        out += '>';
        break;
    }
    case Value::Type::Date: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "date(%.3f)", v.asDate()->secondsSince1970);
        out += buf;
        break;
    }
    case Value::Type::Array: {
        out += '[';
        bool first = true;
        for (const auto& e : *v.asArray()) {
            if (!first) out += ", ";
            first = false;
            describe(e, out);
        }
        out += ']';
        break;
    }
    case Value::Type::Dictionary: {
        out += '{';
        bool first = true;
        for (const auto& [k, e] : *v.asDictionary()) {
            if (!first) out += ", ";
            first = false;
            appendQuoted(out, k);
            out += ": ";
            describe(e, out);
        }
        out += '}';
        break;
    }
    }
}

}  // namespace

std::string Value::description() const {
    std::string out;
    describe(*this, out);
    return out;
}

}  // namespace kl
