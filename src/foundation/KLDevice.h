// KLDevice: the facts that identify this machine. The machine UUID is what the account server, the
// rendezvous server and the peers know this computer by: the SHA-1 of the serial number, the
// primary MAC address text and a fixed salt. It is derived afresh on every call and never stored,
// and every source it reads is readable by every user, so the privileged daemon and a user's
// control app derive the same identity.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kl {

class KLDevice {
public:
    static constexpr std::string_view kMachineIdentitySalt =
        "we sat under/lanterned by stormwind in April/my northern, my compass/keep to a candlelight";

    // 40 lower-case hexadecimal characters: SHA-1 of "serial+MAC text+salt", where a missing serial
    // number or MAC address reads "(null)".
    static std::optional<std::string> machineUniqueID();
    // The platform UUID, read again on every call; the last value read is kept for the process.
    static std::optional<std::string> UDID();
    // The platform UUID: the machine id written as an upper-case 8-4-4-4-12 UUID text.
    static std::optional<std::string> macUDID();
    // The computer's name: the pretty host name of /etc/machine-info, else /etc/hostname, else the
    // kernel's host name.
    static std::optional<std::string> deviceName();
    // "xx:xx:xx:xx:xx:xx\n" of the primary Ethernet interface (see KLDevice.cpp), nothing when the
    // machine has none.
    static std::optional<std::string> primaryMACAddress();

    static bool isMacOSDeviceForModelNumber(std::string_view model);
    // A missing model counts as a mobile device, as the host list has always treated it.
    static bool isiDeviceForModelNumber(std::optional<std::string_view> model);
    // The text before the first decimal digit.
    static std::string baseMachineModelOfModelNumber(std::string_view model);
};

// Lower-case hexadecimal, two digits per byte, no separators.
std::string hexadecimalString(std::span<const uint8_t> bytes);

// When text contains substring: what follows text's first ":" with white space and line ends
// trimmed (nothing when that is empty); otherwise nothing.
std::optional<std::string> argumentForSubstring(std::string_view text, std::string_view substring);

}  // namespace kl
