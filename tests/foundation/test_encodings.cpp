#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "foundation/Base64.h"
#include "foundation/Utilities.h"

using namespace kl;

namespace {

std::string encode(const std::string& bytes, bool lines) {
    size_t n = 0;
    char* out = NewBase64Encode(bytes.data(), bytes.size(), lines, &n);
    std::string s(out, n);
    EXPECT_EQ(std::strlen(out), n);
    std::free(out);
    return s;
}

std::string decode(const std::string& text, long length = -2) {
    size_t n = 0;
    void* out = NewBase64Decode(text.c_str(), length == -2 ? long(text.size()) : length, &n);
    std::string s(static_cast<char*>(out), n);
    std::free(out);
    return s;
}

}  // namespace

TEST(Base64, EncoderTable) {
    struct Case {
        std::string in;
        bool lines;
        std::string out;
    } cases[] = {
        {"", false, ""},
        {"abc", false, "YWJj"},
        {"ab", false, "YWI="},
        {"a", false, "YQ=="},
        {"\xFB\xFF", false, "-_8="},
        {std::string(48, '\0'), true, std::string(64, 'A')},
        {std::string(49, '\0'), true, std::string(64, 'A') + "\r\nAA=="},
        {std::string(96, '\0'), true, std::string(64, 'A') + "\r\n" + std::string(64, 'A')},
        {std::string(49, '\0'), false, std::string(64, 'A') + "AA=="},
    };
    for (const auto& c : cases) EXPECT_EQ(encode(c.in, c.lines), c.out) << c.in.size() << " bytes";
}

TEST(Base64, DecoderSkipsForeignCharacters) {
    EXPECT_EQ(decode("YWJj"), "abc");
    EXPECT_EQ(decode("YW\r\nJj\r\n"), "abc");
    EXPECT_EQ(decode("-_8="), "\xFB\xFF");
    EXPECT_EQ(decode("+/8="), "");  // "+" and "/" are skipped, and one lone symbol gives nothing
    EXPECT_EQ(decode("+/_=_8"), "\xFF\xFF");
    EXPECT_EQ(decode("YQ"), "a");
    EXPECT_EQ(decode("Y"), "");
    EXPECT_EQ(decode("YWJj", -1), "abc");  // NUL-terminated
    EXPECT_EQ(decode("Y W J j \xC3\xA9"), "abc");
    size_t n = 99;
    void* empty = NewBase64Decode("", 0, &n);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(n, 0u);
    std::free(empty);
}

TEST(Base64, RoundTripsForLengthsUpTo300WithAndWithoutLines) {
    std::mt19937 rng(42);
    for (size_t len = 0; len <= 300; ++len) {
        std::string bytes(len, '\0');
        for (auto& b : bytes) b = char(rng());
        for (bool lines : {false, true}) {
            std::string text = encode(bytes, lines);
            EXPECT_EQ(decode(text), bytes) << len;
            EXPECT_EQ(decode(text + "\r\n"), bytes) << len;
        }
    }
}

TEST(Base64, DataHelpers) {
    EXPECT_EQ(dataFromURLEncodedBase64String("YWJj"), (Bytes{'a', 'b', 'c'}));
    EXPECT_TRUE(dataFromURLEncodedBase64String("YWJj\xC3\xA9").empty());  // not pure ASCII
    EXPECT_EQ(urlEncodedBase64EncodedString(Bytes(49, 0)), std::string(64, 'A') + "\r\nAA==");
}

TEST(Utilities, UUIDForms) {
    UUIDBytes b{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(stringWithCFUUIDBytes(b), "12345678-9ABC-DEF0-0123-456789ABCDEF");
    EXPECT_EQ(CFUUIDCreateBytesFromString("12345678-9abc-def0-0123-456789ABCDEF"), b);
    for (const char* bad : {"", "12345678-9ABC-DEF0-0123-456789ABCDE", "12345678x9ABC-DEF0-0123-456789ABCDEF",
                            "1234567G-9ABC-DEF0-0123-456789ABCDEF"})
        EXPECT_EQ(CFUUIDCreateBytesFromString(bad), UUIDBytes{}) << bad;
    std::string fresh = stringWithNewUUID();
    EXPECT_EQ(fresh.size(), 36u);
    EXPECT_EQ(fresh[14], '4');
    EXPECT_NE(fresh, stringWithNewUUID());
    EXPECT_EQ(stringWithCFUUIDBytes(CFUUIDCreateBytesFromString(fresh)), fresh);
}

TEST(Utilities, JoiningSkipsEmptyAndForeignElements) {
    EXPECT_EQ(stringByAppendingComponentsSeparatedByString(Array{"a", "b", ""}, ","), "a,b,");
    EXPECT_EQ(stringByAppendingComponentsSeparatedByString(Array{"a", "b"}, ","), "a,b");
    EXPECT_EQ(stringByAppendingComponentsSeparatedByString(Array{"a", 5, "b"}, ","), "a,b");
    EXPECT_EQ(stringByAppendingComponentsSeparatedByString(Array{}, ","), "");
}

TEST(Utilities, DelimitedBacktrace) {
    std::string t = KLTBacktrace::delimitedBacktraceString();
    EXPECT_EQ(t.substr(0, 62), "\n" + std::string(60, '+') + "\n");
    EXPECT_EQ(t.substr(t.size() - 61), std::string(60, '-') + "\n");
    EXPECT_GT(t.size(), 130u);  // at least one frame
}
