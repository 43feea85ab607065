#include "controlapp/KLTEmbeddedInfo.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/ValuePlist.h"

namespace kl {

namespace {

constexpr uint64_t kMaxSectionNames = 1024 * 1024;
constexpr uint16_t kMaxSections = 65000;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

Error refused(const std::string& what) { return Error::withDescription("KLTEmbeddedInfo", EINVAL, what); }

// True when [offset, offset + size) lies inside a file of fileSize bytes.
bool fits(uint64_t offset, uint64_t size, uint64_t fileSize) { return offset <= fileSize && size <= fileSize - offset; }

bool readAt(int fd, void* into, uint64_t size, uint64_t offset) {
    auto* bytes = static_cast<char*>(into);
    while (size > 0) {
        ssize_t n = ::pread(fd, bytes, size, off_t(offset));
        if (n <= 0) return false;
        bytes += n;
        size -= uint64_t(n);
        offset += uint64_t(n);
    }
    return true;
}

}  // namespace

Result<std::string> readElfSection(const std::filesystem::path& file, const std::string& section) {
    Fd in{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    if (in.fd < 0) return Error::withDescription("KLTEmbeddedInfo", errno, "cannot open " + file.string());
    struct stat status {};
    if (::fstat(in.fd, &status) != 0 || !S_ISREG(status.st_mode)) return refused("not a regular file");
    const auto fileSize = uint64_t(status.st_size);

    Elf64_Ehdr header{};
    if (!fits(0, sizeof header, fileSize) || !readAt(in.fd, &header, sizeof header, 0)) return refused("cut ELF header");
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return refused("not an ELF file");
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
        return refused("not a 64-bit little-endian ELF file");
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 || header.e_shnum > kMaxSections ||
        header.e_shstrndx >= header.e_shnum)
        return refused("bad section table");
    const uint64_t tableSize = uint64_t(header.e_shnum) * sizeof(Elf64_Shdr);
    if (!fits(header.e_shoff, tableSize, fileSize)) return refused("section table outside the file");
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!readAt(in.fd, sections.data(), tableSize, header.e_shoff)) return refused("cut section table");

    const Elf64_Shdr& namesHeader = sections[header.e_shstrndx];
    if (namesHeader.sh_type == SHT_NOBITS || namesHeader.sh_size > kMaxSectionNames ||
        !fits(namesHeader.sh_offset, namesHeader.sh_size, fileSize))
        return refused("bad section names");
    std::string names(namesHeader.sh_size, '\0');
    if (!readAt(in.fd, names.data(), names.size(), namesHeader.sh_offset)) return refused("cut section names");

    for (const Elf64_Shdr& entry : sections) {
        if (entry.sh_name >= names.size()) continue;
        auto end = names.find('\0', entry.sh_name);
        if (end == std::string::npos || names.compare(entry.sh_name, end - entry.sh_name, section) != 0) continue;
        if (entry.sh_type == SHT_NOBITS || entry.sh_size > kKLInfoPlistMaxSize ||
            !fits(entry.sh_offset, entry.sh_size, fileSize))
            return refused("bad section " + section);
        std::string bytes(entry.sh_size, '\0');
        if (!readAt(in.fd, bytes.data(), bytes.size(), entry.sh_offset)) return refused("cut section " + section);
        return bytes;
    }
    return Error::withDescription("KLTEmbeddedInfo", ENOENT, "no section " + section);
}

Result<Dictionary> embeddedInfoPlist(const std::filesystem::path& program) {
    auto bytes = readElfSection(program, kKLInfoPlistSection);
    if (!bytes) return bytes.error();
    std::string text = std::move(bytes).value();
    while (!text.empty() && text.back() == '\0') text.pop_back();  // the C string's terminator
    auto value = valueFromPlist(text);
    if (!value) return value.error();
    const Dictionary* dictionary = value->asDictionary();
    if (!dictionary) return refused("information list is not a dictionary");
    return *dictionary;
}

std::optional<KLTToolVersion> toolVersion(const std::filesystem::path& program) {
    auto info = embeddedInfoPlist(program);
    if (!info) return std::nullopt;
    KLTToolVersion version;
    auto string = [&](const char* key) -> std::optional<std::string> {
        const Value* v = info->find(key);
        const std::string* s = v ? v->asString() : nullptr;
        return s ? std::optional<std::string>(*s) : std::nullopt;
    };
    version.version = string("CFBundleShortVersionString");
    version.revision = string("CFBundleVersion");
    if (const Value* date = info->find("KLTBuildDate"); date && date->asDate()) version.buildDate = *date->asDate();
    return version;
}

}  // namespace kl
