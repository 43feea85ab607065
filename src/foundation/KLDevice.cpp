#include "foundation/KLDevice.h"

#include <cryptopp/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "foundation/KLTLogging.h"
#include "foundation/KLTRegistryExplorer.h"
#include "foundation/KLTSystemFiles.h"
#include "platform/Paths.h"

namespace kl {
namespace {

bool parseMac(std::string_view text, uint8_t mac[6]) {
    unsigned values[6];
    char tail = 0;
    std::string copy(text);
    if (std::sscanf(copy.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &values[0], &values[1], &values[2], &values[3],
                    &values[4], &values[5], &tail) != 6)
        return false;
    bool allZero = true;
    for (int i = 0; i < 6; ++i) {
        mac[i] = uint8_t(values[i]);
        allZero = allZero && mac[i] == 0;
    }
    return !allZero;
}

struct Candidate {
    bool wireless;
    std::string name;
    std::string macText;
};

}  // namespace

std::string hexadecimalString(std::span<const uint8_t> bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xf];
    }
    return out;
}

std::optional<std::string> argumentForSubstring(std::string_view text, std::string_view substring) {
    if (text.find(substring) == std::string_view::npos) return std::nullopt;
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string argument = systemfiles::trim(text.substr(colon + 1));
    if (argument.empty()) return std::nullopt;
    return argument;
}

std::optional<std::string> KLDevice::machineUniqueID() {
    auto serial = KLTRegistryExplorer::machineSerialNumber();
    auto mac = primaryMACAddress();
    std::string text = serial.value_or("(null)") + "+" + mac.value_or("(null)") + "+" + std::string(kMachineIdentitySalt);
    uint8_t digest[CryptoPP::SHA1::DIGESTSIZE];
    CryptoPP::SHA1().CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
    return hexadecimalString(digest);
}

std::optional<std::string> KLDevice::macUDID() {
    auto id = KLTRegistryExplorer::machineSerialNumber();
    if (!id || id->size() != 32 || !std::all_of(id->begin(), id->end(), ::isxdigit)) return std::nullopt;
    std::string uuid;
    for (size_t i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) uuid += '-';
        uuid += char(std::toupper(static_cast<unsigned char>((*id)[i])));
    }
    return uuid;
}

std::optional<std::string> KLDevice::UDID() {
    static std::mutex mutex;
    static std::optional<std::string> last;
    auto current = macUDID();
    std::lock_guard lock(mutex);
    last = current;
    return last;
}

std::optional<std::string> KLDevice::deviceName() {
    if (auto info = systemfiles::readTrimmed("/etc/machine-info")) {
        auto values = systemfiles::parseShellAssignments(*info);
        if (auto it = values.find("PRETTY_HOSTNAME"); it != values.end() && !it->second.empty()) return it->second;
    }
    if (auto hostname = systemfiles::readTrimmed("/etc/hostname")) {
        return hostname->substr(0, hostname->find('\n'));
    }
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0]) return std::string(name);
    return std::nullopt;
}

// The primary interface is the first physical Ethernet-type interface (one backed by a device, so
// no bridge, tunnel or veth) whose address is fixed rather than random; wired interfaces come
// before wireless ones, and names decide within each group, so the choice does not depend on the
// order in which interfaces appeared.
std::optional<std::string> KLDevice::primaryMACAddress() {
    namespace fs = std::filesystem;
    const fs::path netClass = paths::system("/sys/class/net");
    std::error_code ec;
    fs::directory_iterator entries(netClass, ec);
    if (ec) {
        KLLog(kKLTLoggingLevelError, "primaryMACAddress: cannot list %s: %s", netClass.c_str(), ec.message().c_str());
        return std::nullopt;
    }
    std::vector<Candidate> candidates;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        const std::string base = "/sys/class/net/" + name;
        if (systemfiles::readTrimmed(base + "/type").value_or("") != "1") continue;
        if (!fs::exists(entry.path() / "device", ec)) continue;
        if (systemfiles::readTrimmed(base + "/addr_assign_type").value_or("0") == "1") continue;
        uint8_t mac[6];
        if (!parseMac(systemfiles::readTrimmed(base + "/address").value_or(""), mac)) continue;
        char text[32];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x\n", mac[0], mac[1], mac[2], mac[3], mac[4],
                      mac[5]);
        bool wireless = fs::exists(entry.path() / "wireless", ec) || fs::exists(entry.path() / "phy80211", ec);
        candidates.push_back({wireless, name, text});
    }
    if (candidates.empty()) return std::nullopt;
    auto best = std::min_element(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.wireless, a.name) < std::tie(b.wireless, b.name);
    });
    return best->macText;
}

bool KLDevice::isMacOSDeviceForModelNumber(std::string_view model) {
    for (std::string_view family : {"iMac", "Macmini", "MacPro", "MacBook"})
        if (systemfiles::containsIgnoringCase(model, family)) return true;
    return false;
}

bool KLDevice::isiDeviceForModelNumber(std::optional<std::string_view> model) {
    if (!model) return true;
    for (std::string_view family : {"iPad", "iPhone", "iPod touch"})
        if (systemfiles::containsIgnoringCase(*model, family)) return true;
    return false;
}

std::string KLDevice::baseMachineModelOfModelNumber(std::string_view model) {
    size_t digit = model.find_first_of("0123456789");
    return std::string(model.substr(0, digit));
}

}  // namespace kl
