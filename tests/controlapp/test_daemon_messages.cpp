// The daemon's own messages to the control app: tunnel states and host-list changes arrive on the
// connection's queue while the main loop reads the host items, as the rows do.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "RecordingViews.h"
#include "controlapp/KLTAppDelegate.h"
#include "daemon/PWControlProtocol.h"
#include "foundation/ipc/IPCEndpoint.h"
#include "foundation/ipc/klipc.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using namespace std::chrono_literals;

// The daemon's end of the control socket: keeps the app's connection to push messages on, and
// answers the host-list request with each host's latest tunnel state.
class PushingDaemon {
public:
    explicit PushingDaemon(std::vector<std::string> hosts) : shared_(std::make_shared<Shared>()) {
        for (const auto& uuid : hosts) shared_->status[uuid] = 0;
        listener_ = klipc_connection_create_listener(kPWControlServiceName, nullptr);
        klipc_connection_set_event_handler(listener_, [shared = shared_](KLIPCMessageType kind, klipc_object_t peer) {
            if (kind != KLIPC_LISTENER_NEW_CONNECTION) return;
            klipc_connection_set_event_handler(peer, [shared](KLIPCMessageType kind, klipc_object_t m) {
                if (kind != KLIPC_OK || klipc_dictionary_get_uint64(m, kPWKeyCommand) != ePWControlAppToDaemonCommandReportHosts)
                    return;
                klipc_send_reply(m, [shared](klipc_object_t reply) {
                    std::lock_guard lock(shared->mutex);
                    klipc_object_t array = klipc_array_create();
                    for (const auto& [uuid, status] : shared->status) {
                        klipc_object_t host = klipc_dictionary_create();
                        klipc_dictionary_set_string(host, "uuid", uuid.c_str());
                        klipc_dictionary_set_string(host, "name", uuid.c_str());
                        klipc_dictionary_set_int64(host, "status", 1);
                        klipc_dictionary_set_int64(host, kPWKeyTunnexConnectionStatus, status);
                        klipc_array_append_value(array, host);
                        klipc_release(host);
                    }
                    klipc_dictionary_set_value(reply, "hosts_array", array);
                    klipc_release(array);
                    ++shared->reportsServed;
                });
            });
            klipc_connection_resume(peer);
            std::lock_guard lock(shared->mutex);
            if (!shared->peer) shared->peer = klipc_retain(peer);
        });
        klipc_connection_resume(listener_);
    }
    ~PushingDaemon() {
        klipc_connection_cancel(listener_);
        klipc_release(listener_);
        std::lock_guard lock(shared_->mutex);
        if (shared_->peer) {
            klipc_connection_cancel(shared_->peer);
            klipc_release(shared_->peer);
        }
    }
    bool connected() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->peer != nullptr;
    }
    int reportsServed() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->reportsServed;
    }
    void pushStatus(const std::string& uuid, int64_t status) {
        klipc_object_t message = klipc_dictionary_create();
        klipc_dictionary_set_uint64(message, kPWKeyCommand, ePWDaemonToControlAppCommandConnectionStatus);
        klipc_dictionary_set_string(message, kPWKeyUUID, uuid.c_str());
        klipc_dictionary_set_int64(message, kPWKeyTunnexConnectionStatus, status);
        std::lock_guard lock(shared_->mutex);
        shared_->status[uuid] = status;
        klipc_connection_send_message(shared_->peer, message);
        klipc_release(message);
    }
    void pushHostsChanged() {
        klipc_object_t message = klipc_dictionary_create();
        klipc_dictionary_set_uint64(message, kPWKeyCommand, ePWDaemonToControlAppCommandHostsChanged);
        std::lock_guard lock(shared_->mutex);
        klipc_connection_send_message(shared_->peer, message);
        klipc_release(message);
    }

private:
    struct Shared {
        mutable std::mutex mutex;
        std::map<std::string, int64_t> status;
        klipc_connection_t peer = nullptr;
        int reportsServed = 0;
    };
    std::shared_ptr<Shared> shared_;
    klipc_connection_t listener_ = nullptr;
};

TEST(DaemonMessages, TunnelStatesAndHostListChangesFromTheConnectionsQueueMeetTheMainLoopsReaders) {
    ::setenv(ipc::kSocketDirEnvironment, test::makeTempDir("sockets").c_str(), 1);
    const std::vector<std::string> hosts{"host-a", "host-b", "host-c"};
    PushingDaemon daemon(hosts);
    PWServicesManager::Options options;
    options.archivePath = test::makeTempDir("archive") / "archive";
    options.machineID = "this-machine";
    auto services = PWServicesManager::create(options);
    auto views = std::make_shared<test::RecordingViews>();
    auto app = KLTAppDelegate::create({"/opt/portweaver", services, views});

    ASSERT_TRUE(app->createDaemonConnection());
    app->beginHostNotifications();
    ASSERT_TRUE(mainLoop().runUntil([&] { return daemon.connected(); }, 10s));
    daemon.pushHostsChanged();
    ASSERT_TRUE(mainLoop().runUntil([&] { return services->hostItems().size() == hosts.size(); }, 10s));

    // The pusher ends with every tunnel up and one more host-list change, so whichever reply the
    // main loop takes last, every host ends connected.
    std::atomic<bool> pushed{false};
    std::jthread pusher([&] {
        for (int round = 0; round < 60; ++round) {
            for (const auto& uuid : hosts) daemon.pushStatus(uuid, round % 6);
            if (round % 10 == 0) daemon.pushHostsChanged();
        }
        for (const auto& uuid : hosts) daemon.pushStatus(uuid, 5);
        daemon.pushHostsChanged();
        pushed = true;
    });

    int tornStates = 0;
    auto allConnected = [&] {
        auto items = services->hostItems();
        bool all = items.size() == hosts.size();
        for (const auto& item : items) {
            const auto state = item->displayState();
            const bool whole = (!state.connected || (state.available && state.modelImageSuffix == "_connected")) &&
                               (!state.connecting || state.available);
            if (!whole) ++tornStates;
            all = all && state.connected;
        }
        return all;
    };
    ASSERT_TRUE(mainLoop().runUntil([&] { return pushed && daemon.reportsServed() >= 8 && allConnected(); }, 20s));
    pusher.join();
    // Replies still under way change nothing: the last one carries the same states.
    mainLoop().runUntil([] { return false; }, 300ms);
    EXPECT_TRUE(allConnected());
    EXPECT_EQ(tornStates, 0);
    EXPECT_GT(views->updates, 0);
    app->cancelDaemonConnection();
}

}  // namespace
}  // namespace kl
