// The output queue's granules and the core's allocation and formatting helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "foundation/KLTLogging.h"
#include "tunnel/sockcore/SafeMemory.h"
#include "tunnel/sockcore/bufchain.h"

namespace kl {
namespace {

std::vector<int> granuleFill(const bufchain& ch) {
    std::vector<int> fill;
    for (auto* g = ch.head; g; g = g->next) fill.push_back(g->buflen - g->bufpos);
    return fill;
}

std::string pattern(size_t len, size_t offset = 0) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = char((offset + i) * 7 % 251);
    return s;
}

std::string contents(const bufchain& ch) {
    std::string out(bufchain_size(&ch), '\0');
    bufchain_fetch(&ch, out.data(), out.size());
    return out;
}

TEST(SockcoreBufchain, GranulesFillToTheBrim) {
    bufchain ch;
    bufchain_add(&ch, "", 0);
    EXPECT_EQ(ch.head, nullptr) << "adding nothing allocates nothing";

    std::string data = pattern(1030);
    bufchain_add(&ch, data.data(), 1000);
    EXPECT_EQ(granuleFill(ch), (std::vector<int>{512, 488}));
    bufchain_add(&ch, data.data() + 1000, 30);
    EXPECT_EQ(granuleFill(ch), (std::vector<int>{512, 512, 6})) << "24 top up the second granule, 6 start a third";
    EXPECT_EQ(bufchain_size(&ch), 1030u);
    EXPECT_EQ(contents(ch), data) << "fetch copies across granules and consumes nothing";

    void* prefix;
    int prefixLen;
    bufchain_prefix(&ch, &prefix, &prefixLen);
    EXPECT_EQ(prefixLen, 512);
    EXPECT_EQ(std::string(static_cast<char*>(prefix), 512), data.substr(0, 512));
}

TEST(SockcoreBufchain, ConsumeFreesEmptiedGranules) {
    bufchain ch;
    std::string data = pattern(1030);
    bufchain_add(&ch, data.data(), data.size());

    bufchain_consume(&ch, 0);
    EXPECT_EQ(bufchain_size(&ch), 1030u);
    bufchain_consume(&ch, 100);
    EXPECT_EQ(granuleFill(ch), (std::vector<int>{412, 512, 6}));
    bufchain_consume(&ch, 412);  // exactly the head's unconsumed bytes
    EXPECT_EQ(granuleFill(ch), (std::vector<int>{512, 6}));
    EXPECT_EQ(contents(ch), data.substr(512));

    iovec iov[4];
    ASSERT_EQ(bufchain_iovecs(&ch, iov, 4), 2);
    EXPECT_EQ(iov[0].iov_len + iov[1].iov_len, 518u);
    ASSERT_EQ(bufchain_iovecs(&ch, iov, 1), 1);

    bufchain_consume(&ch, 518);
    EXPECT_EQ(ch.head, nullptr);
    EXPECT_EQ(ch.tail, nullptr);
    EXPECT_EQ(bufchain_size(&ch), 0u);

    bufchain_add(&ch, data.data(), 10);  // an emptied chain starts afresh
    EXPECT_EQ(granuleFill(ch), (std::vector<int>{10}));
    bufchain_clear(&ch);
    EXPECT_EQ(ch.head, nullptr);
    EXPECT_EQ(bufchain_size(&ch), 0u);
}

TEST(SockcoreBufchain, InterleavedAddAndConsumeKeepOrder) {
    bufchain ch;
    std::string expected;
    size_t written = 0, consumed = 0;
    for (int round = 0; round < 200; ++round) {
        size_t add = size_t(round * 37 % 1500);
        std::string chunk = pattern(add, written);
        bufchain_add(&ch, chunk.data(), chunk.size());
        written += add;
        size_t take = std::min(bufchain_size(&ch), size_t(round * 53 % 1300));
        std::string front(take, '\0');
        bufchain_fetch(&ch, front.data(), take);
        ASSERT_EQ(front, pattern(take, consumed));
        bufchain_consume(&ch, take);
        consumed += take;
        ASSERT_EQ(bufchain_size(&ch), written - consumed);
    }
}

TEST(SockcoreMemory, AllocationHelpers) {
    void* zero = safemalloc(0, 8);
    ASSERT_NE(zero, nullptr) << "a zero total still gives a block";
    safefree(zero);
    safefree(nullptr);

    auto* grown = static_cast<char*>(saferealloc(nullptr, 4, 1));
    std::memcpy(grown, "abcd", 4);
    grown = static_cast<char*>(saferealloc(grown, 4096, 1));
    EXPECT_EQ(std::string(grown, 4), "abcd");
    safefree(grown);

    clearMemoryLog();
    EXPECT_THROW(safemalloc(size_t(1) << 20, size_t(1) << 12), std::bad_alloc) << "4 GiB exceeds 2147483647 bytes";
    EXPECT_TRUE(memoryLogContains("Out of memory!"));

    EXPECT_EQ(dupstr(nullptr), nullptr);
    char* copy = dupstr("socket core");
    EXPECT_STREQ(copy, "socket core");
    safefree(copy);

    std::string longText(2000, 'x');
    char* formatted = dupprintf("%s-%d", longText.c_str(), 42);
    EXPECT_EQ(std::string(formatted), longText + "-42") << "longer than the first 512-byte try";
    safefree(formatted);

    clearMemoryLog();
    fatalbox("pipe: %s", "gone");
    EXPECT_TRUE(memoryLogContains("pipe: gone"));
}

}  // namespace
}  // namespace kl
