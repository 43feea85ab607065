// Everything one viewer connection owns: its session (main channel socket and reader), the update
// output with its failure flag, its encoder, its input sideband and its cursor tick. A connection
// that ends, or is replaced by a viewer that took over, shuts down only what is its own.
//
// Threads: the reader and the cursor tick never hold a reference to their own connection (the
// connection joins them); shutdown() runs on the main loop.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Executors.h"
#include "screen/encoder/KLTNimEncoder.h"
#include "screen/server/InputSideband.h"
#include "screen/server/PeriodicThread.h"
#include "screen/server/UpdateOutput.h"
#include "screen/server/ViewerSession.h"

namespace kl {

struct ViewerConnection {
    ViewerConnection(uint64_t connectionID, std::shared_ptr<KLNetSocket> viewerSocket)
        : id(connectionID),
          socket(std::move(viewerSocket)),
          output(std::make_shared<UpdateOutput>(socket)),
          encoder(std::make_shared<KLTNimEncoder>()) {
        encoder->setOutput(output);
    }
    ~ViewerConnection() { shutdown(); }
    ViewerConnection(const ViewerConnection&) = delete;
    ViewerConnection& operator=(const ViewerConnection&) = delete;

    // Stops the cursor tick and the wake timer, closes the input sideband and the main channel and
    // waits for the reader. The object stays usable: later sends fail.
    void shutdown() {
        wakeTimer.cancel();
        if (cursorTick) cursorTick->stop();
        input.reset();
        if (session) session->stop();
    }

    const uint64_t id;
    const std::shared_ptr<KLNetSocket> socket;
    const std::shared_ptr<UpdateOutput> output;
    const std::shared_ptr<KLTNimEncoder> encoder;
    // Set up on the main loop before the session starts; not replaced afterwards.
    std::unique_ptr<ViewerSession> session;
    std::unique_ptr<InputSideband> input;
    std::unique_ptr<PeriodicThread> cursorTick;
    CancelHandle wakeTimer;  // main loop only
};

}  // namespace kl
