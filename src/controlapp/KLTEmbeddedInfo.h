// The information property list a program carries in its ELF section ".kl_info_plist", read from
// the file without running it. The file is untrusted: every offset and size is checked against the
// file before it is read, and a cut or malformed file is refused.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

inline constexpr const char* kKLInfoPlistSection = ".kl_info_plist";
// Larger sections are refused: an information list is a few hundred bytes.
inline constexpr uint64_t kKLInfoPlistMaxSize = 64 * 1024;

// The raw bytes of the named section of a 64-bit little-endian ELF file.
Result<std::string> readElfSection(const std::filesystem::path& file, const std::string& section);
// The program's embedded information list, parsed.
Result<Dictionary> embeddedInfoPlist(const std::filesystem::path& program);

struct KLTToolVersion {
    std::optional<std::string> version;   // "CFBundleShortVersionString"
    std::optional<std::string> revision;  // "CFBundleVersion"
    std::optional<Date> buildDate;        // "KLTBuildDate"
};

// The versions of program, each only when present with the right type; nothing when the file or
// its list cannot be read.
std::optional<KLTToolVersion> toolVersion(const std::filesystem::path& program);

}  // namespace kl
