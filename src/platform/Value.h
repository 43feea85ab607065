// kl::Value: the one dynamic value that carries dictionaries across boundaries (IPC messages,
// JSON replies, property lists, archives, preferences). Inside a subsystem prefer typed structs.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kl {

class Value;

// A point in time with sub-second precision, as seconds since 1970-01-01 UTC.
struct Date {
    double secondsSince1970 = 0;
    static Date now();
    bool operator==(const Date&) const = default;
};

using Bytes = std::vector<uint8_t>;
using Array = std::vector<Value>;

// A dictionary with string keys that keeps the order in which keys were first inserted.
class Dictionary {
public:
    using Entry = std::pair<std::string, Value>;
    using const_iterator = std::vector<Entry>::const_iterator;
    using iterator = std::vector<Entry>::iterator;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);
    // Entries as given, in linear time; a key given twice keeps its first place and its last value
    // (as set() would, which compares each key with every other: quadratic for big decoded input).
    static Dictionary fromEntries(std::vector<Entry> entries);

    // The value under key, or nullptr.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Replaces the value of an existing key in place, or appends a new key.
    void set(std::string key, Value value);
    // The value under key, inserting null first when missing.
    Value& operator[](std::string_view key);
    bool erase(std::string_view key);

    // Defined below Value: the entries' type must be complete where they are used.
    size_t size() const;
    bool empty() const;
    const_iterator begin() const;
    const_iterator end() const;
    iterator begin();
    iterator end();

    bool operator==(const Dictionary& other) const;

private:
    std::vector<Entry> entries_;
};

class Value {
public:
    enum class Type { Null, Bool, Int, UInt, Double, String, Bytes, Date, Array, Dictionary };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t(i)) {}
    Value(long i) : v_(int64_t(i)) {}
    Value(long long i) : v_(int64_t(i)) {}
    Value(unsigned u) : v_(uint64_t(u)) {}
    Value(unsigned long u) : v_(uint64_t(u)) {}
    Value(unsigned long long u) : v_(uint64_t(u)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(kl::Bytes b) : v_(std::move(b)) {}
    Value(kl::Date d) : v_(d) {}
    Value(kl::Array a) : v_(std::make_shared<kl::Array>(std::move(a))) {}
    Value(kl::Dictionary d) : v_(std::make_shared<kl::Dictionary>(std::move(d))) {}

    Value(const Value& other);
    Value& operator=(const Value& other);
    Value(Value&&) noexcept = default;
    Value& operator=(Value&&) noexcept = default;

    Type type() const { return static_cast<Type>(v_.index()); }
    static const char* typeName(Type t);

    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInt() const { return type() == Type::Int; }
    bool isUInt() const { return type() == Type::UInt; }
    bool isInteger() const { return isInt() || isUInt(); }
    bool isDouble() const { return type() == Type::Double; }
    bool isNumber() const { return isInteger() || isDouble(); }
    bool isString() const { return type() == Type::String; }
    bool isBytes() const { return type() == Type::Bytes; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Checked accessors: nothing when the value is not of (or not exactly convertible to) the type.
    // Integers convert between signed and unsigned only when the number fits.
    std::optional<bool> asBool() const;
    std::optional<int64_t> asInt() const;
    std::optional<uint64_t> asUInt() const;
    std::optional<double> asDouble() const;  // any number
    const std::string* asString() const;
    const kl::Bytes* asBytes() const;
    std::optional<kl::Date> asDate() const;
    const kl::Array* asArray() const;
    const kl::Dictionary* asDictionary() const;
    kl::Array* asArray();
    kl::Dictionary* asDictionary();

    // Dictionary shortcuts: the member under key, or nullptr when this is no dictionary or the key
    // is missing.
    const Value* get(std::string_view key) const;
    std::string stringOr(std::string_view key, std::string fallback) const;
    int64_t intOr(std::string_view key, int64_t fallback) const;
    uint64_t uintOr(std::string_view key, uint64_t fallback) const;

    // Exact equality: types must match (Int 1 != UInt 1 != Double 1.0).
    bool operator==(const Value& other) const;

    // A short human-readable rendering for logs (JSON-like).
    std::string description() const;

private:
    using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, kl::Bytes,
                                 kl::Date, std::shared_ptr<kl::Array>, std::shared_ptr<kl::Dictionary>>;
    Storage v_;
};

inline size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }
inline Dictionary::const_iterator Dictionary::begin() const { return entries_.begin(); }
inline Dictionary::const_iterator Dictionary::end() const { return entries_.end(); }
inline Dictionary::iterator Dictionary::begin() { return entries_.begin(); }
inline Dictionary::iterator Dictionary::end() { return entries_.end(); }

}  // namespace kl
