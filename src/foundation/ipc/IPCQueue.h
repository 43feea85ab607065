// Where IPC handlers run. The platform's dispatch queues become one of: the program's main loop,
// the global pool, or a serial queue of the caller's own. A connection created without a queue gets
// a private serial queue, so its events still arrive one at a time and in order.
#pragma once

#include <memory>
#include <string>

#include "platform/Executors.h"

namespace kl::ipc {

class IPCQueue {
public:
    virtual ~IPCQueue() = default;
    virtual void async(Task task) = 0;
    virtual const std::string& label() const = 0;
};

// kl::mainLoop(): the daemon moves all its IPC work there.
std::shared_ptr<IPCQueue> mainIPCQueue();
// kl::globalQueue(): work may run concurrently with other work posted there.
std::shared_ptr<IPCQueue> globalIPCQueue();
// A new serial queue on the global pool.
std::shared_ptr<IPCQueue> makeSerialIPCQueue(std::string label);

}  // namespace kl::ipc
