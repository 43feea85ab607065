#include "tunnel/channel/TunnexSocketManager.h"

#include <udt/udt.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <utility>

#include "foundation/KLTLogging.h"
#include "platform/Executors.h"
#include "tunnel/TunnexErrors.h"
#include "tunnel/channel/TunnexMainChannelListener.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/channel/UdtStartup.h"

namespace kl {

namespace {

// When every readable socket already has its pass waiting or running, the loop pauses this long
// rather than asking UDT again at once about data that is already being taken care of.
constexpr double kBusyPause = 0.002;

}  // namespace

TunnexSocketManager& TunnexSocketManager::sharedInstance() {
    static TunnexSocketManager* manager = [] {
        udtStartup();
        auto* created = new TunnexSocketManager();
        // Exit handlers run in reverse order of registration: this one, registered after UDT's
        // clean-up, ends the poll loop before UDT's globals go.
        std::atexit([] { sharedInstance().stopPolling(); });
        return created;
    }();
    return *manager;
}

TunnexSocketManager::~TunnexSocketManager() { stopPolling(); }

void TunnexSocketManager::stopPolling() {
    std::jthread loop;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
        loop = std::move(loop_);
    }
    // The loop checks its stop token each cycle; its naps wake on it.
    loop.request_stop();
    if (loop.joinable()) loop.join();
}

void TunnexSocketManager::addSocket(const std::shared_ptr<TunnexSocketImpl>& socket) {
    if (!socket) return;
    int number = socket->udtSocket();
    std::lock_guard<std::mutex> guard(mutex_);
    mayConsiderPollingExit_ = false;
    if (number == 0 || number == UDT::INVALID_SOCK) {
        KLLog(kKLTLoggingLevelError, "Tunnel socket %u has no UDT socket to poll", socket->socketId());
    } else {
        table_[number] = socket;
    }
    wake_.notify_all();
    startLoopLocked();
}

void TunnexSocketManager::startLoopLocked() {
    if (polling_ || stopped_) return;
    // The previous loop marked itself ended under this lock and touches nothing afterwards, so
    // joining it here is short.
    polling_ = true;
    if (loop_.joinable()) loop_.join();
    loopsStarted_.fetch_add(1);
    loop_ = std::jthread([this](std::stop_token stop) { waitForSocketsWithTimeout(stop, kSocketPollInterval); });
}

void TunnexSocketManager::watchConnect(int udtSocket, std::chrono::steady_clock::time_point deadline,
                                       ConnectCompletion completion) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!stopped_) {
            connects_[udtSocket] = {deadline, std::move(completion)};
            ++wakeups_;  // a napping loop switches to the short cycle at once
            wake_.notify_all();
            startLoopLocked();
            return;
        }
    }
    completion(TunnexError::udt(kUDTErrorConnectionLost, "Connection was broken."));
}

bool TunnexSocketManager::watchSends(const std::shared_ptr<TunnexSocketImpl>& socket) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopped_) return false;
    watchedSends_[socket->udtSocket()] = socket;
    ++wakeups_;  // a napping loop looks at once
    wake_.notify_all();
    startLoopLocked();
    return true;
}

size_t TunnexSocketManager::watchedSendCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return watchedSends_.size();
}

bool TunnexSocketManager::anyBridged() const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [number, socket] : table_) {
        if (socket->localSocket()) return true;
    }
    return false;
}

std::vector<std::shared_ptr<TunnexSocketImpl>> TunnexSocketManager::collectWatchedSends(std::set<int>& writeSet) {
    std::map<int, std::shared_ptr<TunnexSocketImpl>> watched;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        watched = watchedSends_;
    }
    std::vector<std::shared_ptr<TunnexSocketImpl>> due;
    for (const auto& [number, socket] : watched) {
        // A socket that left UDT's table would fail the whole select: it is resumed to find out.
        // So is one marked closed: its waiting bytes are dropped and its close can run.
        if (socket->isClosed() || socket->udtSocket() != number || UDT::getsockstate(number) != CONNECTED) {
            due.push_back(socket);
        } else if (socket->sendsHeld()) {
            continue;
        } else if (socket->dataWaiting()) {
            writeSet.insert(number);
        } else {
            due.push_back(socket);  // a waiting message is simply tried again
        }
    }
    return due;
}

void TunnexSocketManager::resumeSends(const std::vector<std::shared_ptr<TunnexSocketImpl>>& sockets) {
    if (sockets.empty()) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& socket : sockets) {
            for (auto entry = watchedSends_.begin(); entry != watchedSends_.end(); ++entry) {
                if (entry->second != socket) continue;
                watchedSends_.erase(entry);
                break;
            }
        }
        mayConsiderPollingExit_ = true;
    }
    for (const auto& socket : sockets) socket->resumeSends();
}

size_t TunnexSocketManager::pendingConnectCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return connects_.size();
}

bool TunnexSocketManager::isLoopThread() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return polling_ && loop_.get_id() == std::this_thread::get_id();
}

void TunnexSocketManager::checkConnects() {
    std::vector<std::pair<ConnectCompletion, TunnexResult<int>>> ended;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto entry = connects_.begin(); entry != connects_.end();) {
            const UDTSTATUS state = UDT::getsockstate(entry->first);
            std::optional<TunnexResult<int>> outcome;
            if (state == CONNECTED) {
                outcome.emplace(entry->first);
            } else if (state != CONNECTING && state != OPENED) {
                outcome.emplace(TunnexError::udt(kUDTErrorConnectionLost, "Connection was broken."));
            } else if (now > entry->second.deadline) {
                outcome.emplace(
                    TunnexError::udt(kUDTErrorConnectionSetupTimeout, "Connection setup failure: connection time out."));
            }
            if (!outcome) {
                ++entry;
                continue;
            }
            ended.emplace_back(std::move(entry->second.completion), std::move(*outcome));
            entry = connects_.erase(entry);
        }
        if (!ended.empty()) mayConsiderPollingExit_ = true;
    }
    for (auto& [completion, outcome] : ended) completion(std::move(outcome));
}

void TunnexSocketManager::removeSocket(const std::shared_ptr<TunnexSocketImpl>& socket) {
    if (!socket) return;
    std::lock_guard<std::mutex> guard(mutex_);
    mayConsiderPollingExit_ = true;
    int number = socket->udtSocket();
    if (number == 0) return;
    auto entry = table_.find(number);
    if (entry != table_.end() && entry->second == socket) table_.erase(entry);
    socket->setUDTSocket(0);
}

uint64_t TunnexSocketManager::currentSocketCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return table_.size();
}

std::shared_ptr<TunnexSocketImpl> TunnexSocketManager::socketForSocketNumber(int number) const {
    if (number == 0 || number == UDT::INVALID_SOCK) return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    auto entry = table_.find(number);
    return entry == table_.end() ? nullptr : entry->second;
}

std::set<int> TunnexSocketManager::selectSocketsWithDescriptorSet() const {
    std::set<int> numbers;
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [number, socket] : table_) {
        if (int current = socket->udtSocket(); current != 0) numbers.insert(current);
    }
    return numbers;
}

bool TunnexSocketManager::isPolling() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return polling_;
}

std::shared_ptr<TunnexMainChannelListener> TunnexSocketManager::mainChannelListenerOf(
    const std::shared_ptr<TunnexSocketImpl>& socket) {
    auto listener = std::dynamic_pointer_cast<TunnexMainChannelListener>(socket->delegate());
    if (listener && listener->mainChannel() == socket) return listener;
    return nullptr;
}

void TunnexSocketManager::askPeersToDisconnect() {
    std::vector<std::shared_ptr<TunnexMainChannelListener>> listeners;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& [number, socket] : table_) {
            auto listener = std::dynamic_pointer_cast<TunnexMainChannelListener>(socket->delegate());
            if (!listener) continue;
            bool known = false;
            for (const auto& other : listeners) known = known || other == listener;
            if (!known) listeners.push_back(listener);
        }
    }
    // Off the loop's thread: a listener's teardown closes sockets, which changes the table.
    globalQueue().async([listeners] {
        for (const auto& listener : listeners) listener->disconnectFromPeers();
    });
}

bool TunnexSocketManager::loopShouldEnd(const std::stop_token& stop) {
    std::lock_guard<std::mutex> guard(mutex_);
    // An addition made after this check finds polling_ still true only while this cycle runs, and
    // this cycle looks at the table again: no socket is left unpolled.
    if (stop.stop_requested() ||
        (mayConsiderPollingExit_ && table_.empty() && connects_.empty() && watchedSends_.empty())) {
        polling_ = false;
        return true;
    }
    return false;
}

void TunnexSocketManager::nap(const std::stop_token& stop, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t seen = wakeups_;
    wake_.wait_for(lock, stop, std::chrono::duration<double>(seconds), [&] { return wakeups_ != seen; });
}

void TunnexSocketManager::bridgePassEnded() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++wakeups_;
    wake_.notify_all();
}

// Called after UDT refused a select for naming a socket it no longer knows. Sockets closed by this
// process leave the table before their UDT socket closes, so what is found here was closed behind
// the manager's back: it leaves the table, and its owner learns of it as of a lost connection.
void TunnexSocketManager::pruneClosedSockets() {
    std::vector<std::shared_ptr<TunnexSocketImpl>> gone;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto entry = table_.begin(); entry != table_.end();) {
            UDTSTATUS state = UDT::getsockstate(entry->first);
            if (state == NONEXIST || state == CLOSED || state == CLOSING) {
                gone.push_back(entry->second);
                entry->second->setUDTSocket(0);
                entry = table_.erase(entry);
            } else {
                ++entry;
            }
        }
        if (!gone.empty()) mayConsiderPollingExit_ = true;
    }
    for (const auto& socket : gone) {
        KLLog(kKLTLoggingLevelError, "Tunnel socket %u lost its UDT socket; dropping it", socket->socketId());
        if (auto listener = mainChannelListenerOf(socket)) {
            listener->disconnectFromPeers();
        } else {
            socket->setShouldBeClosed(true);
            socket->enqueueBridge();  // the pass sees the mark and closes the socket
        }
    }
}

void TunnexSocketManager::waitForSocketsWithTimeout(std::stop_token stop, double timeout) {
    auto asTimeval = [](std::chrono::microseconds wait) {
        return timeval{long(wait.count() / 1'000'000), long(wait.count() % 1'000'000)};
    };
    const auto longCycle = std::chrono::microseconds(long(timeout * 1'000'000));
    while (!loopShouldEnd(stop)) {
        checkConnects();
        UDT::UDSET writeSet;
        std::vector<std::shared_ptr<TunnexSocketImpl>> due = collectWatchedSends(writeSet);
        resumeSends(due);
        const bool shortCycle = pendingConnectCount() != 0 || watchedSendCount() != 0;
        const auto cycle = shortCycle ? std::chrono::microseconds(kConnectCheckInterval)
                           : anyBridged() ? std::min<std::chrono::microseconds>(longCycle, kDataCycle)
                                          : longCycle;
        UDT::UDSET readSet;
        for (int number : selectSocketsWithDescriptorSet()) readSet.insert(number);
        if (readSet.empty() && writeSet.empty()) {
            nap(stop, std::chrono::duration<double>(cycle).count());
            continue;
        }
        timeval wait = asTimeval(cycle);
        int result = UDT::select(0, &readSet, writeSet.empty() ? nullptr : &writeSet, nullptr, &wait);
        if (result == UDT::ERROR) {
            TunnexError error = TunnexError::lastUDT();
            KLLog(kKLTLoggingLevelError, "UDT::select() resulted in error %d, '%s'", error.udtCode(),
                  error.description().c_str());
            if (error.udtCode() == kUDTErrorInvalidSocket) {
                pruneClosedSockets();
                continue;
            }
            askPeersToDisconnect();
            std::lock_guard<std::mutex> guard(mutex_);
            polling_ = false;
            return;
        }
        // Nothing was ready: whatever UDT left in the sets is not.
        if (result == 0) {
            readSet.clear();
            writeSet.clear();
        }
        std::vector<std::shared_ptr<TunnexSocketImpl>> writable;
        for (int number : writeSet) {
            std::lock_guard<std::mutex> guard(mutex_);
            if (auto entry = watchedSends_.find(number); entry != watchedSends_.end()) writable.push_back(entry->second);
        }
        resumeSends(writable);
        std::vector<Quiet> toClose = checkLiveness();
        if (readSet.empty() && toClose.empty()) continue;

        bool acted = !writable.empty();
        for (int number : readSet) {
            auto socket = socketForSocketNumber(number);
            if (!socket) continue;
            if (auto listener = mainChannelListenerOf(socket)) {
                acted = true;
                if (!listener->performMainChannelListen()) toClose.push_back({socket, listener});
            } else if (!socket->localSocket() && socket->isBridgeClosed()) {
                acted = true;
                toClose.push_back({socket, nullptr});
            } else if (socket->enqueueBridge()) {
                acted = true;
            }
        }
        for (const auto& dropped : toClose) {
            removeSocket(dropped.socket);
            if (dropped.listener && dropped.silent) dropped.listener->mainChannelLost();
            else if (dropped.listener) dropped.listener->disconnectFromPeers();
        }
        if (!acted && toClose.empty()) nap(stop, kBusyPause);
    }
}

void TunnexSocketManager::setLivenessLimits(double probeAfterSeconds, double silenceLimitSeconds) {
    probeAfterMs_ = int64_t(probeAfterSeconds * 1000);
    silenceLimitMs_ = int64_t(silenceLimitSeconds * 1000);
}

std::vector<TunnexSocketManager::Quiet> TunnexSocketManager::checkLiveness() {
    std::vector<Quiet> silent;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextLivenessCheck_) return silent;
    nextLivenessCheck_ = now + std::chrono::milliseconds(250);
    const auto probeAfter = std::chrono::milliseconds(probeAfterMs_.load());
    const auto silenceLimit = std::chrono::milliseconds(silenceLimitMs_.load());
    std::set<int> present;
    for (int number : selectSocketsWithDescriptorSet()) {
        auto socket = socketForSocketNumber(number);
        auto listener = socket ? mainChannelListenerOf(socket) : nullptr;
        if (!listener) continue;
        UDT::TRACEINFO trace{};
        if (UDT::perfmon(number, &trace, false) == UDT::ERROR) continue;
        present.insert(number);
        const int64_t heard = trace.pktRecvTotal + trace.pktRecvACKTotal + trace.pktRecvNAKTotal;
        Liveness& state = liveness_[number];
        if (heard != state.heard) {
            state = {heard, now, {}};
        } else if (state.probed == std::chrono::steady_clock::time_point{}) {
            if (now - state.lastHeard >= probeAfter) {
                state.probed = now;
                listener->probeMainChannel();
            }
        } else if (now - state.probed >= silenceLimit) {
            KLLog(kKLTLoggingLevelError, "Main channel %d: nothing heard from the remote for %.1f s; taken down", number,
                  std::chrono::duration<double>(now - state.lastHeard).count());
            silent.push_back({socket, listener, true});
        }
    }
    std::erase_if(liveness_, [&](const auto& entry) { return !present.count(entry.first); });
    return silent;
}

}  // namespace kl
