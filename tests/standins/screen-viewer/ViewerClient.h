// A whole remote viewer on real sockets: it connects to the service's main channel, answers the
// hello with its handshake (and a busy message as told), asks for updates at a steady pace, sends
// heartbeats, receives the output-sideband datagrams and sends input datagrams. Everything it sees
// becomes one JSON object handed to the event handler, in arrival order.
//
// One thread of its own owns every socket and the update stream; the handler and every task given
// to post() run on it. After wait() has returned, the stream may be read from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ViewerMessages.h"
#include "ViewerUpdateStream.h"

namespace viewer {

struct ViewerOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 7001;                // main channel
    uint16_t sidebandPort = 7000;        // where the cursor datagrams arrive; 0: not received
    uint16_t serverSidebandPort = 7002;  // where input datagrams go
    ViewerHandshake handshake;
    bool sendHandshake = true;  // answer each hello with the handshake
    double rate = 0;            // update requests a second; 0: only on request
    int maxOutstanding = 1;     // unanswered requests at most
    int heartbeatMs = 0;        // 0: none
    enum class OnBusy { Wait, Echo, Answer } onBusy = OnBusy::Wait;
    uint64_t busyAnswer = 0;  // for OnBusy::Answer
};

class ViewerClient {
public:
    using Clock = std::chrono::steady_clock;
    using EventHandler = std::function<void(const nlohmann::json&)>;

    ViewerClient(ViewerOptions options, EventHandler handler);
    ~ViewerClient();
    ViewerClient(const ViewerClient&) = delete;
    ViewerClient& operator=(const ViewerClient&) = delete;

    // Connects and starts the thread; false (with an "error" event) when the connection failed.
    bool start();
    // Runs task on the viewer's thread (dropped once the viewer has closed).
    void post(std::function<void(ViewerClient&)> task);
    // Asks the viewer to close its connection; wait() then returns.
    void stop();
    // Waits until the connection has ended; true when it did within the timeout.
    bool waitFor(std::chrono::milliseconds timeout);
    void wait();
    bool finished();

    // On the viewer's thread (or after wait()):
    ViewerUpdateStream& stream() { return mStream; }
    const ViewerOptions& options() const { return mOptions; }
    void requestUpdate();
    void sendHeartbeat();
    void sendHandshake(const ViewerHandshake& handshake);
    void setRate(double perSecond);
    void sendInput(const std::vector<uint8_t>& datagram);
    // Writes the framebuffer (or, with cursor, the last cursor image) as PNG and reports it.
    void writePicture(const std::string& path, bool cursor = false);

private:
    void run();
    void emit(nlohmann::json event);
    bool sendMain(const std::vector<uint8_t>& bytes);
    void readMain();
    void readSideband();
    void trySidebandBind();
    void takeStreamEvents();
    void answerDone();
    void close(const std::string& reason);
    void runPosted();
    int pollTimeoutMs(Clock::time_point now) const;
    void onTimers(Clock::time_point now);

    ViewerOptions mOptions;
    EventHandler mHandler;

    // Owned by the viewer's thread once it runs.
    int mMain = -1;
    int mSideband = -1;
    int mInput = -1;
    int mWake = -1;  // eventfd: posted tasks or stop
    bool mOpen = false;
    ViewerUpdateStream mStream;
    std::vector<uint8_t> mReadBuffer;
    int mOutstanding = 0;
    int mAnswerUpdatesLeft = 1;  // updates that complete the answer being read
    uint64_t mUpdates = 0, mCursorDatagrams = 0;
    size_t mApplicationsReported = 0;  // of mStream.applications, told in section events
    Clock::time_point mNextRequest, mNextHeartbeat, mNextBind;
    bool mSidebandWanted = false;
    bool mSidebandFailureReported = false;

    std::mutex mMutex;  // guards the fields below
    std::condition_variable mEnded;
    std::vector<std::function<void(ViewerClient&)>> mPosted;
    bool mStopRequested = false;
    bool mFinished = false;

    std::thread mThread;  // joined by the destructor before the descriptors close
};

}  // namespace viewer
