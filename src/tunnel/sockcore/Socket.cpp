#include "tunnel/sockcore/Socket.h"

#include <future>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/sockcore/OSXSel.h"

namespace kl {

void postRoomCallbacks(std::vector<Socket::RoomCallback> callbacks, bool room) {
    for (auto& done : callbacks) {
        if (done) globalQueue().async([done = std::move(done), room] { done(room); });
    }
}

bool Socket::waitForRoom(std::chrono::milliseconds timeout) {
    KLAssert(!osxsel_write_lock_held(), "waitForRoom called with the core lock held: it could never drain");
    auto answer = std::make_shared<std::promise<bool>>();
    auto room = answer->get_future();
    {
        SocketCoreLock lock;
        whenRoom([answer](bool hasRoom) { answer->set_value(hasRoom); });
    }
    return room.wait_for(timeout) == std::future_status::ready && room.get();
}

}  // namespace kl
