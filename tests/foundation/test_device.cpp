// Machine identity and system information, from fake system trees and from the real machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "foundation/KLDevice.h"
#include "foundation/KLTRegistryExplorer.h"
#include "foundation/KLTSystemInformation.h"
#include "foundation/KLTLogging.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

using namespace kl;
namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A system tree with a machine id and a choice of network interfaces.
class FakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = test::makeTempDir("tree");
        paths::setRoot(root_);
        writeText(root_ / "etc/machine-id", "0123456789abcdef0123456789abcdef\n");
        addInterface("lo", "772", "00:00:00:00:00:00", /*physical=*/false);
    }
    void TearDown() override { paths::setRoot({}); }

    void addInterface(const std::string& name, const std::string& type, const std::string& mac, bool physical,
                      const std::string& assignType = "0", bool wireless = false) {
        fs::path dir = root_ / "sys/class/net" / name;
        writeText(dir / "type", type + "\n");
        writeText(dir / "address", mac + "\n");
        writeText(dir / "addr_assign_type", assignType + "\n");
        if (physical) fs::create_directories(dir / "device");
        if (wireless) fs::create_directories(dir / "wireless");
    }

    fs::path root_;
};

}  // namespace

// Each digest was computed outside this program, e.g.
//   printf '%s+%s\n+%s' 0123456789abcdef0123456789abcdef 52:54:00:12:34:56 "$SALT" | sha1sum
TEST_F(FakeTree, MachineUniqueIDWithAPrimaryEthernetInterface) {
    addInterface("br0", "1", "aa:aa:aa:aa:aa:aa", /*physical=*/false);      // a bridge: no device
    addInterface("eth1", "1", "02:11:11:11:11:11", true, /*assignType=*/"1");  // random address
    addInterface("wlan0", "1", "10:20:30:40:50:60", true, "0", /*wireless=*/true);
    addInterface("eth0", "1", "52:54:00:12:34:56", true);
    EXPECT_EQ(KLDevice::primaryMACAddress(), "52:54:00:12:34:56\n");
    auto id = KLDevice::machineUniqueID();
    EXPECT_EQ(id, "31263131b69cacb119a1fe0ff0fb8dbaf74980cd");
    EXPECT_EQ(KLDevice::machineUniqueID(), id);  // stable across calls
    // The MAC text's line feed is part of the identity: without it the digest would be this one.
    EXPECT_NE(id, "620f25b93814231fcce8a5a5a584acfaba56c4e3");
}

TEST_F(FakeTree, MachineUniqueIDWithoutAMacAddressOrMachineId) {
    addInterface("br0", "1", "aa:aa:aa:aa:aa:aa", false);
    addInterface("eth0", "1", "00:00:00:00:00:00", true);  // no usable address
    EXPECT_FALSE(KLDevice::primaryMACAddress());
    EXPECT_EQ(KLDevice::machineUniqueID(), "8fb04222d5bc38fdd8b4477ab01cdead33094127");

    fs::remove(root_ / "etc/machine-id");
    EXPECT_EQ(KLDevice::machineUniqueID(), "b9ffa8aa8e64fe7912bfe6c0aa0e81460116c83e");
    // The older D-Bus location of the machine id stands in when /etc has none.
    writeText(root_ / "var/lib/dbus/machine-id", "0123456789abcdef0123456789abcdef\n");
    EXPECT_EQ(KLDevice::machineUniqueID(), "8fb04222d5bc38fdd8b4477ab01cdead33094127");
}

TEST_F(FakeTree, WiredBeforeWirelessAndNamesDecide) {
    addInterface("wlan0", "1", "10:20:30:40:50:60", true, "0", true);
    EXPECT_EQ(KLDevice::primaryMACAddress(), "10:20:30:40:50:60\n");
    addInterface("enp3s0", "1", "AA:BB:CC:00:00:02", true);
    addInterface("enp2s0", "1", "aa:bb:cc:00:00:01", true);
    EXPECT_EQ(KLDevice::primaryMACAddress(), "aa:bb:cc:00:00:01\n");
}

TEST_F(FakeTree, PlatformUUIDModelAndName) {
    EXPECT_EQ(KLDevice::macUDID(), "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_EQ(KLDevice::UDID(), KLDevice::macUDID());
    writeText(root_ / "etc/machine-id", "not an id\n");
    EXPECT_FALSE(KLDevice::macUDID());

    EXPECT_FALSE(KLTRegistryExplorer::computerModel());
    writeText(root_ / "sys/firmware/devicetree/base/model", std::string("Board Model 4\0", 14));
    EXPECT_EQ(KLTRegistryExplorer::computerModel(), "Board Model 4");
    writeText(root_ / "sys/class/dmi/id/product_name", "  Workstation X1 \n");
    EXPECT_EQ(KLTRegistryExplorer::computerModel(), "Workstation X1");

    writeText(root_ / "etc/hostname", "plain-name\n");
    EXPECT_EQ(KLDevice::deviceName(), "plain-name");
    writeText(root_ / "etc/machine-info", "# set by hostnamectl\nPRETTY_HOSTNAME=\"Kitchen \\\"Mac\\\" Mini\"\n");
    EXPECT_EQ(KLDevice::deviceName(), "Kitchen \"Mac\" Mini");
}

// The daemon runs as root and the control app as a user: on this very machine both must derive
// the same identity. The child is this test binary, run as nobody, printing what it derives.
TEST(KLDeviceIdentity, SameOnTheRealMachineAsRootAndAsAnUnprivilegedUser) {
    if (const char* marker = std::getenv("KL_PRINT_MACHINE_UUID")) {
        paths::setRoot("/");
        std::printf("%s%s\n", marker, KLDevice::machineUniqueID().value_or("none").c_str());
        return;
    }
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
    paths::setRoot("/");
    auto asRoot = KLDevice::machineUniqueID();
    paths::setRoot({});
    ASSERT_TRUE(asRoot);
    ASSERT_EQ(asRoot->size(), 40u);

    // A copy of this program where nobody may run it.
    char pattern[] = "/tmp/kl-identity-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    fs::path dir = pattern;
    ::chmod(dir.c_str(), 0755);
    fs::path program = dir / "identity-child";
    fs::copy_file("/proc/self/exe", program);
    ::chmod(program.c_str(), 0755);
    std::string command = "KL_PRINT_MACHINE_UUID=uuid= /usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups " +
                          program.string() + " --gtest_filter=KLDeviceIdentity.SameOnTheRealMachine* 2>&1";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        ::pclose(pipe);
    }
    fs::remove_all(dir);
    size_t at = output.find("uuid=");
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_EQ(output.substr(at + 5, 40), *asRoot) << output;
}

TEST(KLDeviceModels, ModelFamilies) {
    EXPECT_TRUE(KLDevice::isMacOSDeviceForModelNumber("macbookpro11,1"));
    EXPECT_TRUE(KLDevice::isMacOSDeviceForModelNumber("Macmini6,2"));
    EXPECT_FALSE(KLDevice::isMacOSDeviceForModelNumber("Workstation X1"));
    EXPECT_TRUE(KLDevice::isiDeviceForModelNumber("iPod touch"));
    EXPECT_TRUE(KLDevice::isiDeviceForModelNumber("IPAD4,1"));
    EXPECT_FALSE(KLDevice::isiDeviceForModelNumber("iPod"));
    EXPECT_TRUE(KLDevice::isiDeviceForModelNumber(std::nullopt));
    EXPECT_EQ(KLDevice::baseMachineModelOfModelNumber("MacBookPro11,1"), "MacBookPro");
    EXPECT_EQ(KLDevice::baseMachineModelOfModelNumber("Workstation"), "Workstation");
}

TEST(KLDeviceText, HexadecimalAndArgumentForSubstring) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(hexadecimalString(bytes), "000fa5ff");
    EXPECT_EQ(hexadecimalString({}), "");
    EXPECT_EQ(argumentForSubstring("      Chipset Model: Radeon Pro 560", "Chipset Model:"), "Radeon Pro 560");
    EXPECT_FALSE(argumentForSubstring("      Chipset Model:", "Chipset Model:"));
    EXPECT_FALSE(argumentForSubstring("      Chipset Model:  \t", "Chipset Model:"));
    EXPECT_FALSE(argumentForSubstring("      Vendor: Intel", "Chipset Model:"));
}

TEST(KLTSystemInformation, VersionsAndComparisons) {
    struct Case {
        const char* text;
        long major, minor, bugfix;
    } cases[] = {{"12", 12, 0, 0}, {"22.04", 22, 4, 0}, {"3.19.1", 3, 19, 1}, {"rolling", 0, 0, 0}, {"", 0, 0, 0}};
    for (const auto& c : cases) {
        auto v = KLTSystemInformation::parseVersion(c.text);
        EXPECT_EQ(v.major, c.major) << c.text;
        EXPECT_EQ(v.minor, c.minor) << c.text;
        EXPECT_EQ(v.bugfix, c.bugfix) << c.text;
    }
    KLTSystemVersion running{10, 9, 4};
    EXPECT_TRUE(KLTSystemInformation::versionAtLeast(running, 10, 9, 4));
    EXPECT_FALSE(KLTSystemInformation::versionAtLeast(running, 10, 9, 5));
    EXPECT_TRUE(KLTSystemInformation::versionAtLeast(running, 10, 8, 99));
    EXPECT_FALSE(KLTSystemInformation::versionAtLeast(running, 10, 10, 0));
    EXPECT_TRUE(KLTSystemInformation::versionAtLeast(running, 9, 99, 99));
    EXPECT_FALSE(KLTSystemInformation::versionAtLeast(running, 11, 0, 0));
}

TEST(KLTSystemInformation, TextsAndReports) {
    EXPECT_EQ(KLTSystemInformation::physicalMemoryText(8589934592ull), "8 gb");
    EXPECT_EQ(KLTSystemInformation::physicalMemoryText(8589934591ull), "7 gb");

    auto chipsets = KLTSystemInformation::chipsetsInProfile(
        "Graphics/Displays:\n\n    Chipset Model: First GPU\n      Type: GPU\r\n      Chipset Model: Second GPU\n");
    ASSERT_EQ(chipsets.size(), 2u);
    EXPECT_EQ(chipsets[0].displayChipset, "First GPU");
    EXPECT_EQ(chipsets[0].index, 2u);
    EXPECT_EQ(chipsets[1].displayChipset, "Second GPU");
    EXPECT_TRUE(KLTSystemInformation::chipsetsInProfile("").empty());

    EXPECT_EQ(KLTSystemInformation::stringFromNSTaskShellString("/bin/sh", {"-c", "echo out; echo err >&2"}),
              "out\nerr\n");
    EXPECT_FALSE(KLTSystemInformation::stringFromNSTaskShellString("/nonexistent/tool", {}));
    EXPECT_TRUE(memoryLogContains("Error launching shell command: /nonexistent/tool"));
    EXPECT_FALSE(KLTSystemInformation::stringFromNSTaskShellString("/bin/sh", {"-c", "printf '\\377'"}));

    EXPECT_GE(KLTSystemInformation::cpuCoreCount(), 1u);
    EXPECT_GT(KLTSystemInformation::systemPhysicalMemory(), 0u);
    EXPECT_FALSE(KLTSystemInformation::kernelRelease().empty());
    std::string xml = KLTSystemInformation::systemInformationXMLString();
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n<si>\n", 0), 0u);
    for (const char* element : {"<os>", "<release>", "<revision>", "<clock>", "<cpus>", "<memory>"})
        EXPECT_NE(xml.find(element), std::string::npos) << element;
    std::string report = KLTSystemInformation::systemInformationString();
    EXPECT_NE(report.find("Kernel release: "), std::string::npos);
    EXPECT_NE(report.find("GMT Polling date: "), std::string::npos);
}

TEST(KLTRegistryExplorer, KeySearchWalksTheTree) {
    KLTRegistryExplorer explorer;
    EXPECT_TRUE(explorer.searchResultsForText("x", true, false).empty());
    explorer.setRegistryDictionary(Dictionary{
        {"name", "Root"},
        {"children", Array{Value(Dictionary{{"name", "AppleUSBHub"}, {"children", Array{Value(Dictionary{{"name", "usb mouse"}})}}}),
                           Value(Dictionary{{"name", "Display"}})}}});
    Array expected{Value("Root:AppleUSBHub"), Value("Root:AppleUSBHub:usb mouse")};
    EXPECT_EQ(explorer.searchResultsForText("USB", true, false), expected);
    EXPECT_TRUE(explorer.searchResultsForText("USB", false, true).empty());
    EXPECT_EQ(&KLTRegistryExplorer::sharedExplorer(), &KLTRegistryExplorer::sharedExplorer());
}
