#include "http/KLHTTPOperationClassRegistry.h"

#include <map>
#include <mutex>

namespace kl {
namespace {

std::mutex gRegistryLock;
std::map<std::string, const KLHTTPOperationClass*>& registry() {
    static auto* table = new std::map<std::string, const KLHTTPOperationClass*>();
    return *table;
}

}  // namespace

void KLRegisterHTTPOperationClassName(const KLHTTPOperationClass& operationClass) {
    std::lock_guard guard(gRegistryLock);
    registry()[operationClass.name] = &operationClass;
}

const KLHTTPOperationClass* KLHTTPOperationClassFromString(const std::string& name) {
    std::lock_guard guard(gRegistryLock);
    auto found = registry().find(name);
    return found == registry().end() ? nullptr : found->second;
}

}  // namespace kl
