#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "daemon/model/PWServicesManager.h"
#include "daemon/model/PWServicesScan.h"
#include "foundation/KLTButler.h"
#include "foundation/KLTLogging.h"
#include "foundation/KLTUserNotificationManager.h"
#include "platform/ValuePlist.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace kl {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

void writeInfoList(const fs::path& executable, const Value& info) {
    auto data = valueToPlist(info, PlistFormat::Xml);
    ASSERT_TRUE(data.ok());
    std::ofstream(infoListPathForExecutable(executable), std::ios::binary)
        .write(reinterpret_cast<const char*>(data->data()), std::streamsize(data->size()));
}

// A /proc of our own: <pid>/exe links naming whatever executable a test wants.
struct FakeProc {
    fs::path root = test::makeTempDir("proc");
    void add(uint64_t pid, const fs::path& executable) {
        fs::create_directories(root / std::to_string(pid));
        fs::create_symlink(executable, root / std::to_string(pid) / "exe");
    }
    void remove(uint64_t pid) { fs::remove_all(root / std::to_string(pid)); }
};

// Collects what the manager announces, in order.
struct Announcements {
    std::vector<std::pair<std::string, std::vector<PWRunningService>>> events;
    explicit Announcements(PWServicesManager& manager) {
        manager.addedServices.connect([this](const auto& s) { events.push_back({"added", s}); });
        manager.removedServices.connect([this](const auto& s) { events.push_back({"removed", s}); });
    }
};

std::shared_ptr<PWServicesManager> managerFor(const FakeProc& proc) {
    return PWServicesManager::create({proc.root, test::makeTempDir("archive") / kPWHostItemArchiveFileName, "own"});
}

Strings names(const std::vector<PWRunningService>& services) {
    Strings out;
    for (const auto& s : services) out.push_back(s.serviceName);
    return out;
}

const Strings kBuiltIns = {
    "com.kelvaro.portweaver.service.afpovertcp", "com.kelvaro.portweaver.service.smb",
    "com.kelvaro.portweaver.service.daap",       "com.kelvaro.portweaver.service.home-sharing",
    "com.kelvaro.portweaver.service.ssh",        "com.kelvaro.portweaver.service.ftp",
    "com.kelvaro.portweaver.service.rfb",        "com.kelvaro.portweaver.service.echo",
};

TEST(ServicesScan, FirstScanAnnouncesTheBuiltInsAndLaterScansNothing) {
    FakeProc proc;
    proc.add(1, "/sbin/init");
    auto manager = managerFor(proc);
    Announcements seen(*manager);
    manager->servicesUpdateTimerFired();
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0].first, "added");
    EXPECT_EQ(names(seen.events[0].second), kBuiltIns);
    const auto& ssh = seen.events[0].second[4];
    EXPECT_EQ(ssh.toValue(), Value(Dictionary{{"serviceName", "com.kelvaro.portweaver.service.ssh"},
                                              {"servicePath", "path"},
                                              {"serviceVersion", "1.0"},
                                              {"serviceNames", Array{"_ssh._tcp"}},
                                              {"pid", 0u}}));
    manager->servicesUpdateTimerFired();
    manager->servicesUpdateTimerFired();
    EXPECT_EQ(seen.events.size(), 1u);
}

TEST(ServicesScan, RestartUnderANewPidIsOneAdditionThenOneRemoval) {
    FakeProc proc;
    const fs::path program = "/opt/pw/com.kelvaro.portweaver.service.deskgate";
    proc.add(100, program);
    auto manager = managerFor(proc);
    manager->servicesUpdateTimerFired();
    EXPECT_EQ(manager->offeredServiceNames(),
              (Strings{"_afpovertcp._tcp", "_daap._tcp", "_echo._tcp", "_ftp._tcp", "_home-sharing._tcp", "_rfb._tcp",
                       "_smb._tcp", "_ssh._tcp"}));
    Announcements seen(*manager);
    proc.remove(100);
    proc.add(200, program);
    manager->servicesUpdateTimerFired();
    ASSERT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(seen.events[0].first, "added");
    ASSERT_EQ(seen.events[0].second.size(), 1u);
    EXPECT_EQ(seen.events[0].second[0].pid, 200u);
    EXPECT_EQ(seen.events[1].first, "removed");
    ASSERT_EQ(seen.events[1].second.size(), 1u);
    EXPECT_EQ(seen.events[1].second[0].pid, 100u);
}

TEST(ServicesScan, RecordEqualityIsNamePathAndPid) {
    PWRunningService base{"com.kelvaro.portweaver.service.a", "/x/a", "1 (2)", {"_a._tcp"}, false, 5};
    struct Case {
        const char* what;
        PWRunningService other;
        bool equal;
    } cases[] = {
        {"same", base, true},
        {"other version and types", {base.serviceName, base.servicePath, "9 (9)", {}, true, 5}, true},
        {"pid equal in 32 bits", {base.serviceName, base.servicePath, "", {}, false, (1ull << 32) + 5}, true},
        {"other pid", {base.serviceName, base.servicePath, "", {}, false, 6}, false},
        {"other path", {base.serviceName, "/y/a", "", {}, false, 5}, false},
        {"other name", {"com.kelvaro.portweaver.service.b", base.servicePath, "", {}, false, 5}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(base.isEqualToService(c.other), c.equal) << c.what;
}

TEST(ServicesScan, InformationListsOfServicePrograms) {
    fs::path dir = test::makeTempDir("programs");
    FakeProc proc;
    auto program = [&](uint64_t pid, const std::string& shortName, std::optional<Dictionary> info) {
        fs::path exe = dir / (std::string(kPWServiceProgramPrefix) + shortName);
        if (info) writeInfoList(exe, Value(*info));
        proc.add(pid, exe);
        return exe;
    };
    program(10, "full", Dictionary{{"PortweaverServices", "_a._tcp, _b._udp"},
                                   {"PWSRequiresUniversalAccess", true},
                                   {"CFBundleShortVersionString", "2.1"},
                                   {"CFBundleVersion", "310"}});
    program(11, "notypes", Dictionary{{"CFBundleShortVersionString", "2.1"}});
    program(12, "stringaccess", Dictionary{{"PortweaverServices", "_c._tcp"}, {"PWSRequiresUniversalAccess", "YES"}});
    program(13, "nolist", std::nullopt);
    fs::path replaced = program(14, "replaced", Dictionary{{"PortweaverServices", "_d._tcp"}});
    proc.remove(14);
    proc.add(14, replaced.string() + " (deleted)");
    proc.add(15, dir / "com.kelvaro.portweaver.daemon");
    proc.add(16, dir / "not.com.kelvaro.portweaver.service.x");
    fs::create_directories(proc.root / "17");  // a process whose executable cannot be read
    fs::create_directories(proc.root / "self");

    auto services = scanRunningServices(proc.root);
    ASSERT_EQ(services.size(), 5u + 8u);
    std::map<uint64_t, PWRunningService> byPid;
    for (const auto& s : services)
        if (s.pid) byPid[s.pid] = s;
    ASSERT_EQ(byPid.size(), 5u);

    EXPECT_EQ(byPid[10].serviceVersion, "2.1 (310)");
    EXPECT_EQ(byPid[10].serviceNames, (Strings{"_a._tcp", " _b._udp"}));  // split as written
    EXPECT_EQ(byPid[10].requiresUniversalAccess, true);
    EXPECT_EQ(byPid[10].servicePath, (dir / "com.kelvaro.portweaver.service.full").string());
    EXPECT_EQ(byPid[11].serviceNames, Strings{});
    EXPECT_EQ(byPid[11].serviceVersion, "");
    EXPECT_EQ(byPid[12].requiresUniversalAccess, false);
    EXPECT_EQ(byPid[12].serviceNames, Strings{"_c._tcp"});
    EXPECT_EQ(byPid[13].serviceNames, Strings{});
    EXPECT_EQ(byPid[13].requiresUniversalAccess, false);
    EXPECT_EQ(byPid[14].servicePath, replaced.string());
    EXPECT_EQ(byPid[14].serviceNames, Strings{"_d._tcp"});
}

TEST(ServicesScan, ReadsEveryProcessHoweverMany) {
    FakeProc proc;
    for (uint64_t pid = 1; pid <= 3000; ++pid) proc.add(pid, "/usr/bin/sleep");
    proc.add(40000, "/opt/pw/com.kelvaro.portweaver.service.last");
    auto services = scanRunningServices(proc.root);
    ASSERT_EQ(services.size(), 9u);
    EXPECT_EQ(services[0].pid, 40000u);
}

TEST(ServicesScan, FindsARealServiceProgramAmongAllProcesses) {
    fs::path exe = test::makeTempDir("installed") / (std::string(kPWServiceProgramPrefix) + "fixture");
    fs::copy_file("/bin/sleep", exe);
    fs::permissions(exe, fs::perms::owner_all);
    writeInfoList(exe, Value(Dictionary{{"PortweaverServices", "_fixture._tcp"}, {"CFBundleShortVersionString", "1.2"},
                                        {"CFBundleVersion", "7"}}));
    std::string path = exe.string();
    char arg1[] = "30";
    char* argv[] = {path.data(), arg1, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ), 0);

    std::optional<PWRunningService> found;
    test::waitFor([&] {
        for (const auto& s : scanRunningServices())
            if (s.pid == uint64_t(pid)) found = s;
        return found.has_value();
    }, std::chrono::seconds(5));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);

    ASSERT_TRUE(found);
    EXPECT_EQ(found->serviceName, "com.kelvaro.portweaver.service.fixture");
    EXPECT_EQ(found->servicePath, path);
    EXPECT_EQ(found->serviceVersion, "1.2 (7)");
    EXPECT_EQ(found->serviceNames, Strings{"_fixture._tcp"});
}

TEST(ServicesScan, ReportingScansOnTheLoopEverySevenSeconds) {
    FakeProc proc;
    auto manager = managerFor(proc);
    MainLoop loop;
    Announcements seen(*manager);
    auto start = Clock::now();
    manager->beginReportingServicesAvailability(loop);
    manager->beginReportingServicesAvailability(loop);  // no second timer
    EXPECT_TRUE(manager->isReporting());
    ASSERT_TRUE(loop.runUntil([&] { return !seen.events.empty(); }, std::chrono::seconds(10)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(6900));
    EXPECT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(manager->availableServices().size(), 8u);
    manager->endReportingServicesAvailability();
    EXPECT_FALSE(manager->isReporting());
}

// Host items and their archive.

struct RecordingPresenter : KLTUserNotificationPresenter {
    Strings shown;
    void presentUserNotification(const std::string& title, const std::string& message) override {
        shown.push_back(title + ": " + message);
    }
};

Value hostRecord(const char* uuid, const char* types, int status = 1, int tunnel = 0) {
    return Dictionary{{"name", std::string("Host ") + uuid}, {"uuid", uuid}, {"status", status},
                      {"service_names", types}, {"tunnexConnectionStatus", tunnel}};
}

TEST(HostItems, RegisteringMergesRecordsOfOneHostAndSkipsThisMachine) {
    FakeProc proc;
    auto manager = managerFor(proc);
    int changes = 0;
    manager->hostItemsDidChange.connect([&] { ++changes; });
    clearMemoryLog();
    manager->registerHostItemWithPWDictionary(hostRecord("u1", "_ssh._tcp"));
    manager->registerHostItemWithPWDictionary(hostRecord("u1", "_rfb._tcp", 0));
    manager->registerHostItemWithPWDictionary(hostRecord("own", "_ssh._tcp"));
    manager->registerHostItemWithPWDictionary(Value(Dictionary{{"name", "x"}}));
    EXPECT_TRUE(memoryLogContains("Can't register host item without uuid"));
    ASSERT_EQ(manager->hostItems().size(), 1u);
    EXPECT_EQ(changes, 1);
    auto item = manager->hostItemForUUID("u1");
    EXPECT_EQ(item->serviceTypes(), (std::set<std::string>{"_ssh._tcp", "_rfb._tcp"}));
    EXPECT_FALSE(item->available());
    EXPECT_EQ(manager->hostNameForUUID("u1"), "Host u1");
    EXPECT_EQ(manager->indexOfHostItemWithUUID("nope"), std::nullopt);

    manager->didSignOut();
    EXPECT_TRUE(manager->hostItems().empty());
    EXPECT_EQ(changes, 2);
}

TEST(HostItems, TunnelStateChangesTellTheUser) {
    auto presenter = std::make_shared<RecordingPresenter>();
    KLTUserNotificationManager::sharedInstance().setPresenter(presenter);
    struct Case {
        int32_t from, to;
        const char* shown;
    } cases[] = {
        {3, 0, "Connection failed: Could not connect to Host u1"},
        {5, 0, "Peer Disconnected: Host u1 is no longer connected"},
        {0, 5, "Connected to peer: Now connected to Host u1"},
        {2, 3, nullptr},
        {5, 5, nullptr},
    };
    FakeProc proc;
    for (const auto& c : cases) {
        auto manager = managerFor(proc);
        manager->registerHostItemWithPWDictionary(hostRecord("u1", "_ssh._tcp", 1, c.from));
        presenter->shown.clear();
        manager->updateStatus(c.to, "u1");
        manager->updateStatus(c.to, "unknown");
        EXPECT_EQ(presenter->shown, c.shown ? Strings{c.shown} : Strings{}) << c.from << " to " << c.to;
        EXPECT_EQ(manager->hostItemForUUID("u1")->connectionStatus(), c.to);
    }
    KLTUserNotificationManager::sharedInstance().setPresenter(std::make_shared<KLTLogUserNotificationPresenter>());
}

TEST(HostItemArchive, AnEditedUserNameSurvivesARestart) {
    fs::path archive = test::makeTempDir("archive") / kPWHostItemArchiveFileName;
    FakeProc proc;
    {
        auto manager = PWServicesManager::create({proc.root, archive, "own"});
        manager->registerHostItemWithPWDictionary(hostRecord("u1", "_ssh._tcp"));
        manager->hostItemForUUID("u1")->nestedSelves()[0]->setSshUsername("alice");
    }
    ASSERT_TRUE(fs::exists(archive));
    auto restarted = PWServicesManager::create({proc.root, archive, "own"});
    ASSERT_TRUE(restarted->hostItemArchiveForUUID("u1"));
    restarted->registerHostItemWithPWDictionary(hostRecord("u1", "_ssh._tcp"));
    EXPECT_EQ(restarted->hostItemForUUID("u1")->sshUsername(), "alice");
}

TEST(HostItemArchive, WrongVersionIsDeletedYetLoadedAndGarbageIsSetAside) {
    fs::path dir = test::makeTempDir("archive");
    fs::path archive = dir / kPWHostItemArchiveFileName;
    Array records{Dictionary{{"objectVersion", 0}, {"hostUUID", "u1"}, {"sshUsername", "old"}},
                  Dictionary{{"objectVersion", 1}, {"hostUUID", "u2"}, {"sshUsername", "new"}}};
    ASSERT_TRUE(KLTButler::archiveObject(Value(records), archive));
    FakeProc proc;
    auto manager = PWServicesManager::create({proc.root, archive, "own"});
    EXPECT_FALSE(fs::exists(archive));
    ASSERT_TRUE(manager->hostItemArchiveForUUID("u1") && manager->hostItemArchiveForUUID("u2"));
    EXPECT_EQ(manager->hostItemArchiveForUUID("u1")->sshUsername, "old");
    EXPECT_EQ(manager->hostItemArchiveForUUID("u2")->sshUsername, "new");

    std::ofstream(archive) << "not an archive";
    clearMemoryLog();
    auto second = PWServicesManager::create({proc.root, archive, "own"});
    EXPECT_TRUE(memoryLogContains("Could not unarchive host item archive"));
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_TRUE(fs::exists(archive.string() + ".unreadable"));
    EXPECT_EQ(second->hostItemArchiveForUUID("u1"), std::nullopt);
    // The next write starts a good archive again.
    second->registerHostItemWithPWDictionary(hostRecord("u3", "_ssh._tcp"));
    second->hostItemForUUID("u3")->nestedSelves()[0]->setSshUsername("carol");
    auto third = PWServicesManager::create({proc.root, archive, "own"});
    ASSERT_TRUE(third->hostItemArchiveForUUID("u3"));
    EXPECT_EQ(third->hostItemArchiveForUUID("u3")->sshUsername, "carol");
}

TEST(HostItemArchive, LivesInTheProgramsSupportFolder) {
    EXPECT_EQ(PWServicesManager::hostItemArchivePath(), std::nullopt);
    KLTButler::setMainBundleIdentifier("com.kelvaro.portweaver.daemon");
    auto path = PWServicesManager::hostItemArchivePath();
    KLTButler::setMainBundleIdentifier("");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->filename(), "archive.kltHostItemArchive");
    EXPECT_EQ(path->parent_path().filename(), "com.kelvaro.portweaver.daemon");
}

}  // namespace
}  // namespace kl
