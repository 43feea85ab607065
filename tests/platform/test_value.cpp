#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/ValueJson.h"
#include "platform/ValuePlist.h"

using namespace kl;

namespace {

Value sample() {
    Dictionary inner{{"email", "a@b.c"}, {"n", -7}};
    return Value(Dictionary{
        {"command", Value(uint64_t(12))},
        {"big", Value(std::numeric_limits<uint64_t>::max())},
        {"neg", Value(int64_t(-1))},
        {"pi", 3.25},
        {"flag", true},
        {"name", "host \"one\" ü"},
        {"list", Value(Array{1, "two", Value(Array{})})},
        {"user", Value(inner)},
    });
}

}  // namespace

TEST(Value, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
    Dictionary d{{"b", 1}, {"a", 2}};
    d.set("c", 3);
    d.set("b", 4);
    std::vector<std::string> keys;
    for (const auto& [k, v] : d) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(*d.find("b")->asInt(), 4);
    EXPECT_TRUE(d.erase("a"));
    EXPECT_FALSE(d.erase("a"));
    EXPECT_EQ(d.size(), 2u);
}

TEST(Value, CheckedAccessorsRefuseWrongTypesAndOutOfRangeNumbers) {
    Value big(std::numeric_limits<uint64_t>::max());
    EXPECT_FALSE(big.asInt());
    EXPECT_EQ(*big.asUInt(), std::numeric_limits<uint64_t>::max());
    Value neg(int64_t(-3));
    EXPECT_FALSE(neg.asUInt());
    EXPECT_EQ(*Value(int64_t(5)).asUInt(), 5u);
    EXPECT_EQ(Value("x").asInt(), std::nullopt);
    EXPECT_EQ(Value(1).asString(), nullptr);
    EXPECT_EQ(Value(1).get("k"), nullptr);
    EXPECT_EQ(sample().stringOr("missing", "fb"), "fb");
    EXPECT_EQ(sample().intOr("name", 9), 9);  // wrong type falls back
    EXPECT_NE(Value(1), Value(1u));           // types stay apart
    EXPECT_NE(Value(1), Value(1.0));
}

TEST(Value, CopiesAreDeep) {
    Value a = sample();
    Value b = a;
    (*b.asDictionary())["name"] = "changed";
    EXPECT_EQ(a.stringOr("name", ""), "host \"one\" ü");
    EXPECT_NE(a, b);
}

TEST(ValueJson, RoundTripKeepsSignednessWhereJsonCan) {
    Value v = sample();
    auto back = valueFromJson(valueToJson(v));
    ASSERT_TRUE(back.ok()) << back.error().description();
    // uint64 values above INT64_MAX stay unsigned; negatives stay signed.
    EXPECT_TRUE(back->get("big")->isUInt());
    EXPECT_EQ(*back->get("big")->asUInt(), std::numeric_limits<uint64_t>::max());
    EXPECT_TRUE(back->get("neg")->isInt());
    EXPECT_EQ(*back->get("command")->asUInt(), 12u);
    EXPECT_EQ(*back->get("pi"), Value(3.25));
    EXPECT_EQ(*back->get("name"), Value("host \"one\" ü"));
    EXPECT_EQ(*back->get("user"), *v.get("user"));
    EXPECT_EQ(*back->get("list"), *v.get("list"));
}

TEST(ValueJson, RefusesBadDocuments) {
    struct Case {
        const char* text;
        bool requireContainer;
        bool ok;
    } cases[] = {
        {"{\"a\":1}", true, true},   {"[1,2]", true, true},   {"42", true, false},
        {"42", false, true},         {"\"s\"", true, false},  {"{\"a\":", false, false},
        {"", false, false},          {"nul", false, false},   {"{} trailing", false, false},
    };
    for (const auto& c : cases) {
        auto r = valueFromJson(c.text, {.requireContainer = c.requireContainer});
        EXPECT_EQ(r.ok(), c.ok) << c.text;
        if (!r.ok()) {
            EXPECT_FALSE(r.error().description().empty());
        }
    }
    std::string deep(100000, '[');
    EXPECT_FALSE(valueFromJson(deep).ok());
    std::string nested = std::string(600, '[') + std::string(600, ']');
    EXPECT_FALSE(valueFromJson(nested).ok());
}

TEST(ValuePlist, BinaryAndXmlRoundTrips) {
    Value v = sample();
    (*v.asDictionary()).erase("big");  // see below
    (*v.asDictionary())["data"] = Value(Bytes{0, 1, 2, 255});
    (*v.asDictionary())["when"] = Value(Date{1700000000.5});
    for (auto format : {PlistFormat::Binary, PlistFormat::Xml}) {
        auto bytes = valueToPlist(v, format);
        ASSERT_TRUE(bytes.ok());
        auto back = valueFromPlist(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        ASSERT_TRUE(back.ok()) << back.error().description();
        EXPECT_EQ(*back->get("neg"), Value(int64_t(-1)));
        EXPECT_EQ(*back->get("command")->asUInt(), 12u);
        EXPECT_EQ(*back->get("name"), *v.get("name"));
        EXPECT_EQ(*back->get("data"), *v.get("data"));
        EXPECT_EQ(*back->get("user"), *v.get("user"));
        // XML dates carry whole seconds only.
        EXPECT_NEAR(back->get("when")->asDate()->secondsSince1970, 1700000000.5, format == PlistFormat::Xml ? 0.51 : 1e-3);
    }
}

// Binary property lists whose UTF-16 key or string holds U+0000 ({"é\0b": "x"} and {"k": "é\0d"}):
// the text is read by its length, NUL included, instead of aborting inside the plist library.
TEST(ValuePlist, TextHoldingNulIsReadByLength) {
    const std::string nulInKey(
        "bplist00\xd1\x01\x02\x63\x00\xe9\x00\x00\x00\x62\x51\x78\x08\x0b\x12\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00"
        "\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x14", 55);
    const std::string nulInString(
        "bplist00\xd1\x01\x02\x51\x6b\x63\x00\xe9\x00\x00\x00\x64\x08\x0b\x0d\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00"
        "\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x14", 55);
    auto key = valueFromPlist(nulInKey);
    ASSERT_TRUE(key.ok()) << key.error().description();
    ASSERT_EQ(key->asDictionary()->size(), 1u);
    EXPECT_EQ(key->asDictionary()->begin()->first, std::string("\xc3\xa9\0b", 4));
    auto string = valueFromPlist(nulInString);
    ASSERT_TRUE(string.ok()) << string.error().description();
    EXPECT_EQ(*string->get("k"), Value(std::string("\xc3\xa9\0d", 4)));

    // Keys come back whole in both encodings the binary form uses, short or long, with surrogate pairs.
    Dictionary keys{{"a", 1}, {"a key longer than fifteen bytes", 2}, {"\xc3\xa9t\xc3\xa9", 3},
                    {"\xf0\x9f\x98\x80 and \xe2\x82\xac, more than fifteen", 4}};
    for (auto format : {PlistFormat::Binary, PlistFormat::Xml}) {
        auto bytes = valueToPlist(Value(keys), format);
        ASSERT_TRUE(bytes.ok());
        auto back = valueFromPlist(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        ASSERT_TRUE(back.ok()) << back.error().description();
        EXPECT_EQ(*back, Value(keys));
    }
}

// A binary property list of levels arrays, each holding fan references to the next, the last a string.
std::string sharedReferences(int levels, uint16_t fan) {
    auto bigEndian = [](std::string& out, uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) out += char(v >> (8 * i));
    };
    std::string list = "bplist00";
    std::vector<uint64_t> offsets;
    for (int level = 0; level < levels; ++level) {
        offsets.push_back(list.size());
        list += "\xaf\x11";
        bigEndian(list, fan, 2);
        for (int i = 0; i < fan; ++i) bigEndian(list, uint64_t(level + 1), 2);
    }
    offsets.push_back(list.size());
    list += "\x5a" "0123456789";
    uint64_t table = list.size();
    for (uint64_t offset : offsets) bigEndian(list, offset, 4);
    list += std::string(6, '\0') + "\x04\x02";
    bigEndian(list, offsets.size(), 8);
    bigEndian(list, 0, 8);
    bigEndian(list, table, 8);
    return list;
}

// Objects referred to many times are copied for each reference: a 2 KB list naming 27 million
// nodes is refused before it is expanded, while sharing at the scale writers use reads as before.
TEST(ValuePlist, SharedReferencesMayNotExpandFarBeyondTheSize) {
    auto bomb = valueFromPlist(sharedReferences(3, 300));
    ASSERT_FALSE(bomb.ok());
    EXPECT_NE(bomb.error().description().find("expand"), std::string::npos) << bomb.error().description();

    auto shared = valueFromPlist(sharedReferences(2, 30));
    ASSERT_TRUE(shared.ok()) << shared.error().description();
    ASSERT_EQ(shared->asArray()->size(), 30u);
    EXPECT_EQ((*shared->asArray())[29], Value(Array(30, Value("0123456789"))));
}

// Big containers come back whole and in order (read item by item with the library's iterators and
// built without comparing every key with every other, which took minutes for a few megabytes); a
// dictionary built from entries keeps a repeated key's first place and last value.
TEST(ValuePlist, BigContainersReadWhole) {
    Array numbers;
    for (int64_t i = 0; i < 100000; ++i) numbers.push_back(Value(i));
    std::vector<Dictionary::Entry> entries;
    for (int i = 0; i < 10000; ++i) entries.emplace_back("k" + std::to_string(i), Value(int64_t(i)));
    Value big(Dictionary{{"numbers", Value(numbers)}, {"keys", Value(Dictionary::fromEntries(entries))}});
    auto bytes = valueToPlist(big, PlistFormat::Binary);
    ASSERT_TRUE(bytes.ok());
    auto back = valueFromPlist(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    ASSERT_TRUE(back.ok()) << back.error().description();
    EXPECT_EQ(*back->get("numbers"), Value(numbers));
    const Dictionary* keys = back->get("keys")->asDictionary();
    ASSERT_EQ(keys->size(), entries.size());
    EXPECT_TRUE(std::equal(keys->begin(), keys->end(), entries.begin()));

    Dictionary repeated = Dictionary::fromEntries({{"a", 1}, {"b", 2}, {"a", 3}});
    EXPECT_EQ(repeated, (Dictionary{{"a", 3}, {"b", 2}}));
    EXPECT_EQ(repeated.begin()->first, "a");
}

TEST(ValuePlist, GarbageAndTruncationGiveErrors) {
    auto good = valueToPlist(sample());
    ASSERT_TRUE(good.ok());
    std::string bin(good->begin(), good->end());
    std::vector<std::string> bad = {"", "garbage", "bplist00", "<?xml version=\"1.0\"?><plist><dict><key>a",
                                    bin.substr(0, bin.size() / 2), bin.substr(0, 20)};
    std::string flipped = bin;
    for (size_t i = 8; i < flipped.size(); i += 7) flipped[i] = char(flipped[i] ^ 0x5a);
    bad.push_back(flipped);
    for (const auto& b : bad) {
        auto r = valueFromPlist(b);
        if (r.ok()) continue;  // a flipped byte may still decode to some value: it must not crash
        EXPECT_FALSE(r.error().description().empty());
    }
    EXPECT_FALSE(valueFromPlist("garbage").ok());
    EXPECT_FALSE(valueFromPlist(bin.substr(0, bin.size() / 2)).ok());
    EXPECT_FALSE(valueToPlist(Value()).ok());  // property lists have no null
}
