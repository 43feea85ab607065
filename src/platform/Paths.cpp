#include "platform/Paths.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace kl::paths {
namespace {

std::mutex gMutex;
path gOverride;

path fromEnv(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? path(v) : path();
}

path home() {
    path h = fromEnv("HOME");
    return h.empty() ? path("/") : h;
}

}  // namespace

path root() {
    {
        std::lock_guard lock(gMutex);
        if (!gOverride.empty()) return gOverride;
    }
    path env = fromEnv("KL_ROOT");
    return env.empty() ? path("/") : env;
}

void setRoot(const path& newRoot) {
    std::lock_guard lock(gMutex);
    gOverride = newRoot;
}

path system(std::string_view absolutePath) {
    std::string_view rel = absolutePath;
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    return root() / path(rel);
}

bool isPrivileged() { return ::geteuid() == 0; }

path dataHome() {
    if (isPrivileged()) return system("/var/lib");
    path xdg = fromEnv("XDG_DATA_HOME");
    return xdg.empty() ? home() / ".local/share" : xdg;
}

path configHome() {
    if (isPrivileged()) return system("/var/lib");
    path xdg = fromEnv("XDG_CONFIG_HOME");
    return xdg.empty() ? home() / ".config" : xdg;
}

path runtimeDir() {
    if (isPrivileged()) return systemRunDir();
    path xdg = fromEnv("XDG_RUNTIME_DIR");
    return xdg.empty() ? system("/tmp") / ("kl-runtime-" + std::to_string(::getuid())) : xdg;
}

path systemRunDir() { return system("/run"); }

}  // namespace kl::paths
