#include "platform/AdminRule.h"

#include <grp.h>
#include <pwd.h>

#include <string>
#include <vector>

namespace kl {

bool isAdministrator(uid_t uid) {
    if (uid == 0) return true;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(size_t(count));
    for (const char* name : {"sudo", "wheel", "admin"}) {
        group groupEntry{};
        group* groupFound = nullptr;
        std::vector<char> groupBuffer(16384);
        if (::getgrnam_r(name, &groupEntry, groupBuffer.data(), groupBuffer.size(), &groupFound) != 0 || !groupFound)
            continue;
        for (gid_t g : groups)
            if (g == groupFound->gr_gid) return true;
    }
    return false;
}

}  // namespace kl
