#include "tunnel/manager/TunnexServiceRegistrar.h"

#include <mutex>

namespace kl {

namespace {
std::mutex registrarMutex;
std::shared_ptr<TunnexServiceRegistrar> installedRegistrar;
}  // namespace

std::shared_ptr<TunnexServiceRegistrar> tunnexServiceRegistrar() {
    std::lock_guard lock(registrarMutex);
    return installedRegistrar;
}

void setTunnexServiceRegistrar(std::shared_ptr<TunnexServiceRegistrar> registrar) {
    std::lock_guard lock(registrarMutex);
    installedRegistrar = std::move(registrar);
}

}  // namespace kl
