#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "controlapp/KLTEmbeddedInfo.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

const std::string kPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleShortVersionString</key><string>2.1.0</string>
<key>CFBundleVersion</key><string>2104</string>
<key>KLTBuildDate</key><date>2026-01-02T03:04:05Z</date>
</dict></plist>)";

// A minimal 64-bit ELF file: header, the section names, the list, and three section headers (null,
// names, list). Small enough to take apart byte by byte.
struct TinyElf {
    std::string bytes;
    size_t sectionTable = 0;

    explicit TinyElf(const std::string& content) {
        const std::string names = std::string("\0.shstrtab\0", 11) + kKLInfoPlistSection + '\0';
        Elf64_Ehdr header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_ident[EI_DATA] = ELFDATA2LSB;
        header.e_ident[EI_VERSION] = EV_CURRENT;
        header.e_type = ET_EXEC;
        header.e_machine = EM_X86_64;
        header.e_version = EV_CURRENT;
        header.e_ehsize = sizeof header;
        header.e_shentsize = sizeof(Elf64_Shdr);
        header.e_shnum = 3;
        header.e_shstrndx = 1;
        const size_t namesAt = sizeof header, contentAt = namesAt + names.size();
        // Section headers are read in place by the tests: keep them 8-byte aligned.
        const size_t padding = (8 - (contentAt + content.size()) % 8) % 8;
        sectionTable = contentAt + content.size() + padding;
        header.e_shoff = sectionTable;
        Elf64_Shdr sections[3]{};
        sections[1] = {1, SHT_STRTAB, 0, 0, namesAt, names.size(), 0, 0, 1, 0};
        sections[2] = {11, SHT_PROGBITS, SHF_ALLOC, 0, contentAt, content.size(), 0, 0, 1, 0};
        bytes.append(reinterpret_cast<const char*>(&header), sizeof header);
        bytes += names + content + std::string(padding, '\0');
        bytes.append(reinterpret_cast<const char*>(sections), sizeof sections);
    }
    Elf64_Ehdr& header() { return *reinterpret_cast<Elf64_Ehdr*>(bytes.data()); }
    Elf64_Shdr& section(int i) { return reinterpret_cast<Elf64_Shdr*>(bytes.data() + sectionTable)[i]; }
    std::filesystem::path write() const {
        auto path = test::makeTempDir("elf") / "program";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

TEST(EmbeddedInfo, ReadsTheVersionsOfATinyProgram) {
    auto version = toolVersion(TinyElf(kPlist + '\0').write());
    ASSERT_TRUE(version);
    EXPECT_EQ(version->version.value_or(""), "2.1.0");
    EXPECT_EQ(version->revision.value_or(""), "2104");
    ASSERT_TRUE(version->buildDate);
    EXPECT_DOUBLE_EQ(version->buildDate->secondsSince1970, 1767323045.0);
}

TEST(EmbeddedInfo, TakesOnlyValuesOfTheirTypes) {
    auto version = toolVersion(TinyElf(R"(<plist version="1.0"><dict>
<key>CFBundleShortVersionString</key><integer>2</integer>
<key>CFBundleVersion</key><string>7</string>
<key>KLTBuildDate</key><string>yesterday</string></dict></plist>)").write());
    ASSERT_TRUE(version);
    EXPECT_FALSE(version->version);
    EXPECT_EQ(version->revision.value_or(""), "7");
    EXPECT_FALSE(version->buildDate);
}

TEST(EmbeddedInfo, RefusesCutAndMalformedFiles) {
    struct Case {
        const char* what;
        std::function<void(TinyElf&)> damage;
    };
    const Case cases[] = {
        {"empty file", [](TinyElf& e) { e.bytes.clear(); }},
        {"cut in the header", [](TinyElf& e) { e.bytes.resize(40); }},
        {"cut before the section table", [](TinyElf& e) { e.bytes.resize(e.sectionTable + 10); }},
        {"not ELF", [](TinyElf& e) { e.bytes[1] = 'X'; }},
        {"32-bit", [](TinyElf& e) { e.header().e_ident[EI_CLASS] = ELFCLASS32; }},
        {"big-endian", [](TinyElf& e) { e.header().e_ident[EI_DATA] = ELFDATA2MSB; }},
        {"odd section header size", [](TinyElf& e) { e.header().e_shentsize = 12; }},
        {"section table past the end", [](TinyElf& e) { e.header().e_shoff = ~uint64_t(0) - 8; }},
        {"too many sections", [](TinyElf& e) { e.header().e_shnum = 0xffff; }},
        {"names index out of range", [](TinyElf& e) { e.header().e_shstrndx = 3; }},
        {"names past the end", [](TinyElf& e) { e.section(1).sh_size = 1u << 30; }},
        {"list past the end", [](TinyElf& e) { e.section(2).sh_offset = e.bytes.size(); }},
        {"list size wraps", [](TinyElf& e) { e.section(2).sh_size = ~uint64_t(0); }},
        {"list without bytes", [](TinyElf& e) { e.section(2).sh_type = SHT_NOBITS; }},
        {"name offset out of range", [](TinyElf& e) { e.section(2).sh_name = 5000; }},
        {"list is garbage", [](TinyElf& e) { std::memset(e.bytes.data() + e.section(2).sh_offset, 0x8f, 40); }},
    };
    for (const auto& c : cases) {
        TinyElf elf(kPlist);
        c.damage(elf);
        EXPECT_FALSE(toolVersion(elf.write())) << c.what;
    }
    EXPECT_FALSE(toolVersion(test::makeTempDir("elf"))) << "a folder";
    EXPECT_FALSE(toolVersion("/nonexistent/program"));
}

TEST(EmbeddedInfo, TheDaemonProgramCarriesItsVersions) {
    auto version = toolVersion(KL_DAEMON_PATH);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->version.value_or(""), KL_DAEMON_VERSION);
    EXPECT_EQ(version->revision.value_or(""), KL_DAEMON_REVISION);
    ASSERT_TRUE(version->buildDate);
    EXPECT_GT(version->buildDate->secondsSince1970, 1.7e9);
}

}  // namespace
}  // namespace kl
