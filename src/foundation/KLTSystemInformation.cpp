#include "foundation/KLTSystemInformation.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"
#include "foundation/KLTRegistryExplorer.h"
#include "foundation/KLTSystemFiles.h"

extern char** environ;

namespace kl {
namespace {

struct OsRelease {
    std::string name;
    std::optional<std::string> versionId;
    KLTSystemVersion version;
};

const OsRelease& osRelease() {
    static const OsRelease release = [] {
        OsRelease r;
        auto text = systemfiles::readTrimmed("/etc/os-release");
        if (!text) text = systemfiles::readTrimmed("/usr/lib/os-release");
        auto values = systemfiles::parseShellAssignments(text.value_or(""));
        r.name = values.count("NAME") ? values["NAME"] : "Linux";
        if (values.count("VERSION_ID")) {
            r.versionId = values["VERSION_ID"];
            r.version = KLTSystemInformation::parseVersion(*r.versionId);
        }
        return r;
    }();
    return release;
}

utsname kernel() {
    utsname names{};
    ::uname(&names);
    return names;
}

std::string format(const char* fmt, auto... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

bool isUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = lead < 0x80 ? 0 : (lead & 0xe0) == 0xc0 ? 1 : (lead & 0xf0) == 0xe0 ? 2 : (lead & 0xf8) == 0xf0 ? 3 : 4;
        if (extra > 3 || i + extra >= text.size() + (extra ? 0 : 1)) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

std::string xmlEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

KLTSystemVersion KLTSystemInformation::parseVersion(std::string_view text) {
    KLTSystemVersion version;
    long* fields[] = {&version.major, &version.minor, &version.bugfix};
    std::string copy(text);
    const char* cursor = copy.c_str();
    for (long* field : fields) {
        char* end = nullptr;
        long value = std::strtol(cursor, &end, 10);
        if (end == cursor || value < 0) break;
        *field = value;
        if (*end != '.') break;
        cursor = end + 1;
    }
    return version;
}

bool KLTSystemInformation::versionAtLeast(const KLTSystemVersion& running, uint32_t major, uint32_t minor,
                                          uint32_t bugfix) {
    if (running.major != long(major)) return running.major > long(major);
    if (running.minor != long(minor)) return running.minor > long(minor);
    return running.bugfix >= long(bugfix);
}

long KLTSystemInformation::majorSystemVersionNumber() { return osRelease().version.major; }
long KLTSystemInformation::minorSystemVersionNumber() { return osRelease().version.minor; }
long KLTSystemInformation::bugfixSystemVersionNumber() { return osRelease().version.bugfix; }

std::string KLTSystemInformation::rawSystemVersionString() {
    const auto& v = osRelease().version;
    return format("%ld.%ld.%ld", v.major, v.minor, v.bugfix);
}

std::string KLTSystemInformation::systemVersionString() {
    return "System version: " + osRelease().name + " " + rawSystemVersionString();
}

bool KLTSystemInformation::systemAtLeastMajorVersion(uint32_t major, uint32_t minor, uint32_t bugfix) {
    return versionAtLeast(osRelease().version, major, minor, bugfix);
}

std::optional<std::string> KLTSystemInformation::getSystemVersion() { return osRelease().versionId; }

std::string KLTSystemInformation::kernelRelease() { return kernel().release; }
std::string KLTSystemInformation::kernelReleaseString() { return "Kernel release: " + kernelRelease(); }

uint64_t KLTSystemInformation::kernelRevision() {
    std::string version = kernel().version;
    if (version.empty() || version[0] != '#') return 0;
    return std::strtoull(version.c_str() + 1, nullptr, 10);
}

std::string KLTSystemInformation::kernelRevisionString() {
    return format("Kernel revision: %lu", (unsigned long)kernelRevision());
}

uint64_t KLTSystemInformation::cpuFrequency() {
    if (auto khz = systemfiles::readTrimmed("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"))
        return std::strtoull(khz->c_str(), nullptr, 10) * 1000;
    auto cpuinfo = systemfiles::readTrimmed("/proc/cpuinfo");
    if (!cpuinfo) return 0;
    size_t at = cpuinfo->find("cpu MHz");
    if (at == std::string::npos) return 0;
    size_t colon = cpuinfo->find(':', at);
    if (colon == std::string::npos) return 0;
    return uint64_t(std::strtod(cpuinfo->c_str() + colon + 1, nullptr) * 1e6);
}

std::string KLTSystemInformation::rawCpuFrequencyString() { return format("%.1f GHz", double(cpuFrequency()) / 1e9); }
std::string KLTSystemInformation::cpuFrequencyString() { return "CPU clock frequency: " + rawCpuFrequencyString(); }

uint64_t KLTSystemInformation::cpuCoreCount() {
    long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? uint64_t(count) : 0;
}

std::string KLTSystemInformation::cpuCoreCountString() {
    return format("CPU core count: %lu", (unsigned long)cpuCoreCount());
}

uint64_t KLTSystemInformation::systemPhysicalMemory() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
}

std::string KLTSystemInformation::physicalMemoryText(uint64_t bytes) {
    return format("%lu gb", (unsigned long)(bytes >> 30));
}

std::string KLTSystemInformation::rawSystemPhysicalMemoryString() { return physicalMemoryText(systemPhysicalMemory()); }
std::string KLTSystemInformation::systemPhysicalMemoryString() {
    return "Physical memory: " + rawSystemPhysicalMemoryString();
}

std::string KLTSystemInformation::rawSystemModelString() { return KLTRegistryExplorer::computerModel().value_or(""); }
std::string KLTSystemInformation::systemModelString() { return "System model: " + rawSystemModelString(); }

std::optional<std::string> KLTSystemInformation::stringFromNSTaskShellString(const std::string& program,
                                                                          const std::vector<std::string>& arguments) {
    if (program.empty()) return std::nullopt;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    int spawnError = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawnError != 0) {
        ::close(pipeFds[0]);
        KLLogWrite(kKLTLoggingLevelError, "Error launching shell command: %s", program.c_str());
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, size_t(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!isUtf8(output)) return std::nullopt;
    return output;
}

std::string KLTSystemInformation::displayHardwareString() {
    auto listing = stringFromNSTaskShellString("/usr/bin/lspci", {});
    if (!listing) return "";
    std::string profile;
    size_t start = 0;
    while (start < listing->size()) {
        size_t end = listing->find('\n', start);
        if (end == std::string::npos) end = listing->size();
        std::string_view line(listing->data() + start, end - start);
        start = end + 1;
        for (std::string_view kind : {"VGA compatible controller: ", "3D controller: ", "Display controller: "}) {
            size_t at = line.find(kind);
            if (at != std::string_view::npos) {
                profile += "      Chipset Model: " + std::string(line.substr(at + kind.size())) + "\n";
                break;
            }
        }
    }
    return profile;
}

std::vector<KLTDisplayChipsetHelper> KLTSystemInformation::chipsetsInProfile(std::string_view profile) {
    std::vector<KLTDisplayChipsetHelper> chipsets;
    uint64_t index = 0;
    size_t start = 0;
    while (start <= profile.size() && !profile.empty()) {
        size_t end = profile.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = profile.size();
        if (auto name = argumentForSubstring(profile.substr(start, end - start), "Chipset Model:"))
            chipsets.push_back({*name, index});
        ++index;
        start = end + 1;
    }
    return chipsets;
}

std::optional<std::vector<std::string>> KLTSystemInformation::displayHardwareArray() {
    auto chipsets = chipsetsInProfile(displayHardwareString());
    if (chipsets.empty()) return std::nullopt;
    std::vector<std::string> names;
    for (auto& chipset : chipsets) names.push_back(chipset.displayChipset);
    return names;
}

std::string KLTSystemInformation::systemInformationString() {
    std::time_t now = std::time(nullptr);
    char gmt[64] = {}, zone[64] = {};
    std::tm utc{}, local{};
    ::gmtime_r(&now, &utc);
    ::localtime_r(&now, &local);
    std::strftime(gmt, sizeof gmt, "%Y-%m-%d %H:%M:%S +0000", &utc);
    std::strftime(zone, sizeof zone, "%Z (%z)", &local);
    std::string report = "\n";
    for (const std::string& line : {systemVersionString(), kernelReleaseString(), kernelRevisionString(),
                                    systemModelString(), cpuFrequencyString(), cpuCoreCountString(),
                                    systemPhysicalMemoryString(), displayHardwareString()})
        report += line + "\n";
    report += std::string("GMT Polling date: ") + gmt + "\n" + zone + "\n\n";
    return report;
}

std::string KLTSystemInformation::systemInformationXMLString() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n<si>\n";
    auto element = [&](const char* name, const std::string& value) {
        xml += std::string("    <") + name + ">" + xmlEscaped(value) + "</" + name + ">\n";
    };
    element("os", rawSystemVersionString());
    element("release", kernelRelease());
    element("revision", format("%lu", (unsigned long)kernelRevision()));
    element("clock", rawCpuFrequencyString());
    element("cpus", format("%lu", (unsigned long)cpuCoreCount()));
    element("memory", rawSystemPhysicalMemoryString());
    for (const auto& chipset : displayHardwareArray().value_or(std::vector<std::string>{})) element("chipset", chipset);
    xml += "</si>\n";
    return xml;
}

}  // namespace kl
