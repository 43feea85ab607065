#include "tunnel/TunnexBundle.h"

#include <mutex>

namespace kl {

namespace {
std::mutex bundleMutex;
std::string& bundleIdentifier() {
    static std::string identifier = "com.kelvaro.portweaver.daemon";
    return identifier;
}
}  // namespace

std::string tunnexBundleIdentifier() {
    std::lock_guard lock(bundleMutex);
    return bundleIdentifier();
}

void setTunnexBundleIdentifier(std::string identifier) {
    std::lock_guard lock(bundleMutex);
    bundleIdentifier() = std::move(identifier);
}

}  // namespace kl
