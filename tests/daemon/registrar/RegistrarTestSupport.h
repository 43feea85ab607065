// A DNS-SD publisher stand-in that keeps what was published, so registrar tests can see the
// publications without an avahi-daemon (the avahi publisher has tests of its own).
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "platform/dnssd/DnsSdPublisher.h"

namespace kl::test {

class RecordingPublisher : public DnsSdPublisher {
public:
    explicit RecordingPublisher(DnsSdPost post) : post_(std::move(post)) {}

    Id publish(const DnsSdService& service, Callback callback) override {
        std::lock_guard lock(mutex_);
        if (refuse) return 0;
        const Id id = ++lastId_;
        published_[id] = {service, std::move(callback)};
        return id;
    }
    void withdraw(Id id) override {
        std::lock_guard lock(mutex_);
        published_.erase(id);
    }

    std::map<Id, DnsSdService> published() const {
        std::lock_guard lock(mutex_);
        std::map<Id, DnsSdService> services;
        for (const auto& [id, entry] : published_) services[id] = entry.service;
        return services;
    }
    // Answers a publication as avahi would, through the caller's queue.
    void answer(Id id, DnsSdPublishEvent event, const std::string& name) {
        std::lock_guard lock(mutex_);
        auto found = published_.find(id);
        if (found == published_.end()) return;
        post_([callback = found->second.callback, event, name] { callback(event, name); });
    }

    bool refuse = false;

private:
    struct Entry {
        DnsSdService service;
        Callback callback;
    };
    DnsSdPost post_;
    mutable std::mutex mutex_;
    std::map<Id, Entry> published_;
    Id lastId_ = 0;
};

// The socket inodes of this process: other test processes may listen on the same port numbers.
inline std::set<std::string> ownSocketInodes() {
    std::set<std::string> inodes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    return inodes;
}

// The local addresses on which this process listens on a TCP port, as the kernel lists them
// ("127.0.0.1", "::1", anything else in hexadecimal).
inline std::set<std::string> listeningAddresses(uint16_t port) {
    std::set<std::string> addresses;
    const auto inodes = ownSocketInodes();
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeouts, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeouts >> inode;
            const auto colon = local.find(':');
            if (state != "0A" || colon == std::string::npos || !inodes.count(inode)) continue;
            if (std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
            const std::string address = local.substr(0, colon);
            if (address == "0100007F")
                addresses.insert("127.0.0.1");
            else if (address == "00000000000000000000000001000000")
                addresses.insert("::1");
            else
                addresses.insert(address);
        }
    }
    return addresses;
}

}  // namespace kl::test
