// KLTSystemInformation: facts about the running system for log lines and reports: the operating
// system's version (from /etc/os-release, read once per process), the kernel, processor, memory,
// model and display hardware.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kl {

// One display chipset found in the display hardware profile, with the profile line it came from.
struct KLTDisplayChipsetHelper {
    std::string displayChipset;
    uint64_t index = 0;
};

struct KLTSystemVersion {
    long major = 0;
    long minor = 0;
    long bugfix = 0;
};

class KLTSystemInformation {
public:
    static long majorSystemVersionNumber();
    static long minorSystemVersionNumber();
    static long bugfixSystemVersionNumber();
    // "%ld.%ld.%ld" of the three numbers.
    static std::string rawSystemVersionString();
    // "System version: <system name> <raw version>".
    static std::string systemVersionString();
    static bool systemAtLeastMajorVersion(uint32_t major, uint32_t minor, uint32_t bugfix);
    // The VERSION_ID text of os-release, read once; nothing when unreadable.
    static std::optional<std::string> getSystemVersion();

    static std::string kernelRelease();
    static std::string kernelReleaseString();
    // The kernel's build number (the "#n" of its version text).
    static uint64_t kernelRevision();
    static std::string kernelRevisionString();
    // In Hz; 0 when unknown.
    static uint64_t cpuFrequency();
    static std::string rawCpuFrequencyString();
    static std::string cpuFrequencyString();
    static uint64_t cpuCoreCount();
    static std::string cpuCoreCountString();
    static uint64_t systemPhysicalMemory();
    static std::string rawSystemPhysicalMemoryString();
    static std::string systemPhysicalMemoryString();
    static std::string rawSystemModelString();
    static std::string systemModelString();

    // Runs program with arguments, standard output and error joined, and returns all it wrote;
    // nothing when it cannot be started (logged) or its output is not UTF-8.
    static std::optional<std::string> stringFromNSTaskShellString(const std::string& program,
                                                                  const std::vector<std::string>& arguments);
    // A profile of the display controllers, one "Chipset Model: <name>" line each; "" when none
    // can be listed.
    static std::string displayHardwareString();
    // The chipset names of that profile in order; nothing when there are none.
    static std::optional<std::vector<std::string>> displayHardwareArray();
    static std::string systemInformationString();
    static std::string systemInformationXMLString();

    // The pure pieces, for callers with their own texts.
    static KLTSystemVersion parseVersion(std::string_view text);
    static bool versionAtLeast(const KLTSystemVersion& running, uint32_t major, uint32_t minor, uint32_t bugfix);
    static std::string physicalMemoryText(uint64_t bytes);
    static std::vector<KLTDisplayChipsetHelper> chipsetsInProfile(std::string_view profile);
};

}  // namespace kl
