#include "daemon/model/PWServicesScan.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>

#include "daemon/model/PWHostRecord.h"
#include "platform/Files.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace {

constexpr size_t kMaxInfoListBytes = 1u << 20;
constexpr std::string_view kDeletedSuffix = " (deleted)";

// The pid of a /proc entry, or 0 for anything that is not a process folder.
uint64_t pidOfEntry(const char* name) {
    uint64_t pid = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        pid = pid * 10 + uint64_t(*p - '0');
    }
    return pid;
}

}  // namespace

std::filesystem::path infoListPathForExecutable(const std::filesystem::path& executable) {
    return executable.string() + ".plist";
}

PWRunningService runningServiceForExecutable(const std::string& executable, uint64_t pid) {
    PWRunningService service;
    service.serviceName = std::filesystem::path(executable).filename().string();
    service.servicePath = executable;
    service.pid = pid;
    service.requiresUniversalAccess = false;
    auto data = readFile(infoListPathForExecutable(executable), kMaxInfoListBytes);
    if (!data) return service;
    auto info = valueFromPlist(*data);
    if (!info || !info->isDictionary()) return service;
    const Value* shortVersion = info->get("CFBundleShortVersionString");
    const Value* build = info->get("CFBundleVersion");
    if (shortVersion && shortVersion->isString() && build && build->isString())
        service.serviceVersion = *shortVersion->asString() + " (" + *build->asString() + ")";
    if (const Value* types = info->get("PortweaverServices"); types && types->isString())
        service.serviceNames = splitString(*types->asString(), ',');
    if (const Value* access = info->get("PWSRequiresUniversalAccess")) {
        if (auto b = access->asBool()) {
            service.requiresUniversalAccess = *b;
        } else if (auto d = access->asDouble()) {
            service.requiresUniversalAccess = *d != 0;
        }
    }
    return service;
}

std::vector<PWRunningService> scanRunningServices(const std::filesystem::path& procRoot) {
    std::vector<PWRunningService> services;
    const size_t prefixLength = std::strlen(kPWServiceProgramPrefix);
    if (DIR* dir = ::opendir(procRoot.c_str())) {
        std::string link = procRoot.string() + "/";
        const size_t base = link.size();
        char path[4096];
        while (dirent* entry = ::readdir(dir)) {
            uint64_t pid = pidOfEntry(entry->d_name);
            if (pid == 0) continue;
            link.resize(base);
            link += entry->d_name;
            link += "/exe";
            ssize_t n = ::readlink(link.c_str(), path, sizeof path);
            if (n <= 0 || size_t(n) >= sizeof path) continue;
            std::string_view executable(path, size_t(n));
            // A program replaced on disk while it runs still reports where it was started from.
            if (executable.ends_with(kDeletedSuffix)) executable.remove_suffix(kDeletedSuffix.size());
            size_t slash = executable.rfind('/');
            std::string_view name = slash == std::string_view::npos ? executable : executable.substr(slash + 1);
            if (name.size() < prefixLength || name.compare(0, prefixLength, kPWServiceProgramPrefix) != 0) continue;
            services.push_back(runningServiceForExecutable(std::string(executable), pid));
        }
        ::closedir(dir);
    }
    const auto& builtIns = builtInServices();
    services.insert(services.end(), builtIns.begin(), builtIns.end());
    return services;
}

}  // namespace kl
