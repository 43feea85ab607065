#include "tunnel/peer/TunnexConfirmationWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/KLNetSocket.h"
#include "foundation/KLTLogging.h"
#include "tunnel/manager/TunnexRemotePeer.h"
#include "tunnel/peer/TunnexHolePunchSupport.h"
#include "tunnel/peer/TunnexTransaction.h"
#include "tunnel/protocol/TunnexDatagramClass.h"

namespace kl {

namespace {

TunnexHolePunchWord wordOf(const TunnexPeerDatagram& datagram) {
    switch (datagram.kind) {
        case TunnexDatagramKind::Confirm: return TunnexHolePunchWord::Confirm;
        case TunnexDatagramKind::Accept: return TunnexHolePunchWord::Accept;
        case TunnexDatagramKind::UDTPacket: return TunnexHolePunchWord::TransportHandshake;
        default: return TunnexHolePunchWord::Ahoy;
    }
}

}  // namespace

TunnexConfirmationWatcher::TunnexConfirmationWatcher(int silencePolls, std::chrono::milliseconds silencePoll,
                                                     Report report)
    : silence_(silencePoll * std::max(silencePolls, 0)),
      poll_(std::max(silencePoll, std::chrono::milliseconds(1))),
      report_(std::move(report)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Without it the thread still notices new waits and its end, one poll step late.
    if (wakeFd_ < 0) KLLog(kKLTLoggingLevelError, "TunnexConfirmationWatcher: eventfd failed: %s", std::strerror(errno));
}

TunnexConfirmationWatcher::~TunnexConfirmationWatcher() {
    std::jthread thread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        thread = std::move(thread_);
    }
    wake();
    if (thread.joinable()) thread.join();
    // The thread closed the sockets of the waits still open; without a thread there were none.
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TunnexConfirmationWatcher::add(Wait wait) {
    KLLog(kKLTLoggingLevelDebug, "%s on socket: %d    originator: %s", "waitForConfirmationWithDictionary:",
          wait.socket->sock(), wait.originator ? "YES" : "NO");
    auto record = std::make_shared<Record>(Record{std::move(wait), Clock::now() + silence_});
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        waits_.push_back(std::move(record));
        if (!thread_.joinable()) thread_ = std::jthread([this] { run(); });
    }
    wake();
}

size_t TunnexConfirmationWatcher::openWaits() const {
    std::lock_guard lock(mutex_);
    return waits_.size();
}

void TunnexConfirmationWatcher::wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
        KLLog(kKLTLoggingLevelError, "TunnexConfirmationWatcher: wake failed: %s", std::strerror(errno));
    }
}

std::optional<TunnexConfirmationWatcher::Heard> TunnexConfirmationWatcher::hear(const Wait& wait,
                                                                                std::span<const uint8_t> bytes,
                                                                                const sockaddr_in& source) {
    // A stranger's datagram, or one of another attempt, moves nothing.
    const TunnexPeerDatagram datagram = classifyTunnexDatagram(bytes);
    const bool udt = datagram.kind == TunnexDatagramKind::UDTPacket;
    if (!wait.transaction->invitationNames(source) ||
        (!udt && (!datagram.isRecord || datagram.transactionId != wait.transaction->transactionId()))) {
        KLLog(kKLTLoggingLevelDebug, "Datagram %04x from %s ignored while waiting for confirmation",
              unsigned(datagram.magic), tunnexSenderText(source).c_str());
        return std::nullopt;
    }
    const sockaddr_in answered = tunnexRemoteAddressOf(wait.potentialPeer);
    sockaddr_storage address{};
    std::memcpy(&address, &source, sizeof source);
    wait.potentialPeer->setAddress(address);
    wait.potentialPeer->setPort(ntohs(source.sin_port));

    Heard heard;
    heard.word = wordOf(datagram);
    heard.source = source;
    TunnexHolePunchFacts facts;
    facts.originator = wait.originator;
    facts.fromConfirmedEndpoint =
        answered.sin_addr.s_addr == source.sin_addr.s_addr && answered.sin_port == source.sin_port;
    // The decision is pure, so the watcher knows at once whether the wait is over; what it does
    // to the peer runs on the peer's queue.
    heard.decision = decideTunnexHolePunch(heard.word, TunnexHolePunchPath::Fresh, facts);
    return heard;
}

void TunnexConfirmationWatcher::run() {
    std::vector<uint8_t> buffer(kTunnexDatagramBufferSize);
    std::vector<std::shared_ptr<Record>> watched;
    std::vector<pollfd> descriptors;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            watched = waits_;
        }
        // A peer that went and a socket closed elsewhere wake no one: they are looked at every
        // pass, and a pass comes at least once a poll step while waits are open.
        auto now = Clock::now();
        descriptors.assign(1, pollfd{wakeFd_, POLLIN, 0});
        Clock::time_point wakeAt = now + poll_;
        for (auto it = watched.begin(); it != watched.end();) {
            const int descriptor = (*it)->wait.socket->sock();
            if ((*it)->wait.peer.expired() || descriptor < 0) {
                end(*it, descriptor < 0 ? End::ClosedElsewhere : End::PeerGone);
                it = watched.erase(it);
                continue;
            }
            descriptors.push_back({descriptor, POLLIN, 0});
            wakeAt = std::min(wakeAt, (*it)->silentUntil);
            ++it;
        }
        int timeout = int(std::chrono::ceil<std::chrono::milliseconds>(std::max(wakeAt - now, Clock::duration::zero())).count());
        if (watched.empty() && wakeFd_ >= 0) timeout = -1;
        const int ready = ::poll(descriptors.data(), descriptors.size(), timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            // The poll itself failed: every wait it watched is over, as each would be on its own.
            KLLog(kKLTLoggingLevelError, "TunnexConfirmationWatcher: poll failed: %s", std::strerror(errno));
            for (const auto& record : watched) end(record, End::Failed);
            continue;
        }
        if (descriptors[0].revents & POLLIN) {
            uint64_t drained = 0;
            if (::read(wakeFd_, &drained, sizeof drained) < 0 && errno != EAGAIN) {
                KLLog(kKLTLoggingLevelError, "TunnexConfirmationWatcher: cannot reset wake: %s", std::strerror(errno));
            }
        }
        now = Clock::now();
        for (size_t i = 0; i < watched.size(); ++i) {
            const auto& record = watched[i];
            const short events = descriptors[i + 1].revents;
            if (events & (POLLERR | POLLNVAL)) {
                end(record, End::Failed);
            } else if (events & POLLIN) {
                if (takeDatagram(*record, buffer)) end(record, End::Settled);
            } else if (now >= record->silentUntil) {
                end(record, End::Silence);
            }
        }
    }
    std::vector<std::shared_ptr<Record>> left;
    {
        std::lock_guard lock(mutex_);
        left = waits_;
    }
    for (const auto& record : left) end(record, End::Stopped);
}

bool TunnexConfirmationWatcher::takeDatagram(Record& record, std::vector<uint8_t>& buffer) {
    const Wait& wait = record.wait;
    sockaddr_in source{};
    const ssize_t received = tunnexReceiveDatagram(*wait.socket, buffer, source);
    if (received < 0) return false;
    const auto heard = hear(wait, std::span(buffer.data(), size_t(received)), source);
    if (!heard) return false;
    record.silentUntil = Clock::now() + silence_;
    // Held only while the report posts: the peer may go at any time after.
    if (auto peer = wait.peer.lock()) report_(peer, wait, *heard);
    return heard->decision.endsWait;
}

void TunnexConfirmationWatcher::end(const std::shared_ptr<Record>& record, End why) {
    // Settled: the socket stays open for the completion that may run on it. Every other end
    // leaves it of no further use. Closed here, between polls: no thread is blocked on it; and
    // before the wait leaves the open ones, so a wait counted as ended holds no descriptor.
    if (why != End::Settled && why != End::ClosedElsewhere) record->wait.socket->close();
    std::lock_guard lock(mutex_);
    std::erase(waits_, record);
}

}  // namespace kl
