#include "daemon/PWControlAppConnections.h"

namespace kl {

PWControlAppConnectionTable::~PWControlAppConnectionTable() {
    for (uint32_t i = 0; i < fillCount_; ++i) klipc_release(slots_[i]);
}

bool PWControlAppConnectionTable::connectionAccepted(klipc_connection_t connection) {
    std::lock_guard lock(mutex_);
    ++liveCount_;
    if (!connection || fillCount_ >= kCapacity) return false;
    slots_[fillCount_++] = klipc_retain(connection);
    return true;
}

std::optional<uint32_t> PWControlAppConnectionTable::connectionInvalidated(klipc_connection_t connection) {
    klipc_connection_t removed = nullptr;
    std::optional<uint32_t> live;
    {
        std::lock_guard lock(mutex_);
        for (uint32_t i = 0; i < fillCount_; ++i) {
            if (slots_[i] != connection) continue;
            removed = slots_[i];
            for (uint32_t j = i + 1; j < fillCount_; ++j) slots_[j - 1] = slots_[j];
            slots_[--fillCount_] = nullptr;
            break;
        }
        if (liveCount_ > 0) live = --liveCount_;
    }
    klipc_release(removed);  // outside the lock: the last reference may run the connection's teardown
    return live;
}

void PWControlAppConnectionTable::broadcast(klipc_object_t message, klipc_connection_t except) {
    if (!message) return;
    std::vector<klipc_connection_t> targets;
    {
        std::lock_guard lock(mutex_);
        targets.reserve(fillCount_);
        for (uint32_t i = 0; i < fillCount_; ++i)
            if (slots_[i] && slots_[i] != except) targets.push_back(klipc_retain(slots_[i]));
    }
    for (klipc_connection_t target : targets) {
        klipc_connection_send_message(target, message);
        klipc_release(target);
    }
}

uint32_t PWControlAppConnectionTable::fillCount() const {
    std::lock_guard lock(mutex_);
    return fillCount_;
}

uint32_t PWControlAppConnectionTable::liveCount() const {
    std::lock_guard lock(mutex_);
    return liveCount_;
}

bool PWControlAppConnectionTable::isRegistered(klipc_connection_t connection) const {
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < fillCount_; ++i)
        if (slots_[i] == connection) return true;
    return false;
}

PWControlAppConnectionTable& controlAppConnections() {
    static auto* table = new PWControlAppConnectionTable;
    return *table;
}

void SendMessageToControlApps(klipc_object_t message, klipc_connection_t except) {
    controlAppConnections().broadcast(message, except);
}

}  // namespace kl
