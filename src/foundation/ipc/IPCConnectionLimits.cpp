#include "foundation/ipc/IPCConnectionLimits.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "foundation/KLTLogging.h"

namespace kl::ipc {

bool isAdministrator(uid_t uid) {
    if (uid == 0) return true;
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(size_t(count));
    for (const char* name : {"sudo", "wheel", "admin"}) {
        std::vector<char> groupBuffer(16384);
        group gr{};
        group* entry = nullptr;
        if (::getgrnam_r(name, &gr, groupBuffer.data(), groupBuffer.size(), &entry) != 0 || !entry) continue;
        for (gid_t gid : groups)
            if (gid == entry->gr_gid) return true;
    }
    return false;
}

std::shared_ptr<void> IPCConnectionLimits::admit(const PeerCredentials& peer, const char* label) {
    std::unique_lock lock(mutex_);
    bool overTotal = open_ >= total_;
    bool overUser = !overTotal && openByUser_[peer.euid] >= perUser_;
    if (overUser) {
        // Looked up only at the cap: the group database is not read for every connection.
        lock.unlock();
        bool exempt = isAdministrator(peer.euid);
        lock.lock();
        overTotal = open_ >= total_;
        overUser = !exempt && openByUser_[peer.euid] >= perUser_;
    }
    if (overTotal || overUser) {
        // One line per few seconds, however many are refused.
        ++refusedSinceLog_;
        auto now = std::chrono::steady_clock::now();
        if (now - lastLog_ >= std::chrono::seconds(5)) {
            KLLog(kKLTLoggingLevelError, "klipc: %s: refused %zu connection(s), the last from uid %u (pid %d): %s", label,
                  refusedSinceLog_, unsigned(peer.euid), int(peer.pid),
                  overTotal ? "too many connections" : "too many connections of that user");
            refusedSinceLog_ = 0;
            lastLog_ = now;
        }
        if (openByUser_[peer.euid] == 0) openByUser_.erase(peer.euid);
        return nullptr;
    }
    ++open_;
    ++openByUser_[peer.euid];
    std::weak_ptr<IPCConnectionLimits> weak = weak_from_this();
    uid_t uid = peer.euid;
    // Any non-null pointer will do: the slot is its deleter.
    return std::shared_ptr<void>(this, [weak, uid](void*) {
        if (auto limits = weak.lock()) limits->release(uid);
    });
}

void IPCConnectionLimits::release(uid_t uid) {
    std::lock_guard lock(mutex_);
    if (open_ > 0) --open_;
    auto it = openByUser_.find(uid);
    if (it != openByUser_.end() && --it->second == 0) openByUser_.erase(it);
}

}  // namespace kl::ipc
