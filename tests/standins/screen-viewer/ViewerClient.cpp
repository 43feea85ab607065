#include "ViewerClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ViewerPictures.h"

namespace viewer {

using nlohmann::json;

namespace {

constexpr size_t kReadChunk = 256 * 1024;

// The first address of host:port that a socket of type connects to; its descriptor or -1.
int connectTo(const std::string& host, uint16_t port, int type, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = type;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        error = gai_strerror(status);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

std::string familyOfPeer(int fd, sockaddr_storage& peer) {
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "";
    return peer.ss_family == AF_INET6 ? "ipv6" : "ipv4";
}

std::string hexString(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace

ViewerClient::ViewerClient(ViewerOptions options, EventHandler handler)
    : mOptions(std::move(options)), mHandler(std::move(handler)) {
    mStream.setFollowResolution(true);
}

ViewerClient::~ViewerClient() {
    stop();
    if (mThread.joinable()) mThread.join();
    for (int fd : {mMain, mSideband, mInput, mWake}) {
        if (fd >= 0) ::close(fd);
    }
}

void ViewerClient::emit(json event) {
    if (mHandler) mHandler(event);
}

bool ViewerClient::start() {
    std::string error;
    mMain = connectTo(mOptions.host, mOptions.port, SOCK_STREAM, error);
    if (mMain < 0) {
        emit({{"event", "error"}, {"message", "cannot connect to " + mOptions.host + ":" + std::to_string(mOptions.port) + ": " + error}});
        return false;
    }
    // One-byte requests go at once rather than waiting for the previous one's acknowledgement.
    const int on = 1;
    ::setsockopt(mMain, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    mInput = connectTo(mOptions.host, mOptions.serverSidebandPort, SOCK_DGRAM, error);
    mWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mOpen = true;
    mSidebandWanted = mOptions.sidebandPort != 0;
    const auto now = Clock::now();
    mNextRequest = mNextHeartbeat = mNextBind = now;
    if (mOptions.heartbeatMs > 0) mNextHeartbeat = now + std::chrono::milliseconds(mOptions.heartbeatMs);
    emit({{"event", "connected"}, {"port", mOptions.port}});
    mThread = std::thread([this] { run(); });
    return true;
}

void ViewerClient::post(std::function<void(ViewerClient&)> task) {
    std::lock_guard lock(mMutex);
    if (mFinished || mWake < 0) return;
    mPosted.push_back(std::move(task));
    const uint64_t one = 1;
    (void)!::write(mWake, &one, sizeof one);
}

void ViewerClient::stop() {
    std::lock_guard lock(mMutex);
    mStopRequested = true;
    if (mWake >= 0 && !mFinished) {
        const uint64_t one = 1;
        (void)!::write(mWake, &one, sizeof one);
    }
}

bool ViewerClient::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mMutex);
    return mEnded.wait_for(lock, timeout, [this] { return mFinished; });
}

void ViewerClient::wait() {
    {
        std::unique_lock lock(mMutex);
        mEnded.wait(lock, [this] { return mFinished || !mThread.joinable(); });
    }
    if (mThread.joinable()) mThread.join();
}

bool ViewerClient::finished() {
    std::lock_guard lock(mMutex);
    return mFinished;
}

void ViewerClient::run() {
    while (mOpen) {
        pollfd fds[3] = {{mWake, POLLIN, 0}, {mMain, POLLIN, 0}, {mSideband, POLLIN, 0}};
        const int count = mSideband >= 0 ? 3 : 2;
        const int ready = ::poll(fds, nfds_t(count), pollTimeoutMs(Clock::now()));
        if (ready < 0 && errno != EINTR) {
            close(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t value;
            (void)!::read(mWake, &value, sizeof value);
            runPosted();
        }
        if (mOpen && count == 3 && (fds[2].revents & POLLIN)) readSideband();
        if (mOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) readMain();
        if (mOpen) onTimers(Clock::now());
    }
    if (mSideband >= 0) {
        ::close(mSideband);
        mSideband = -1;
    }
    std::lock_guard lock(mMutex);
    mFinished = true;
    mPosted.clear();
    mEnded.notify_all();
}

void ViewerClient::runPosted() {
    std::vector<std::function<void(ViewerClient&)>> tasks;
    bool stopNow;
    {
        std::lock_guard lock(mMutex);
        tasks.swap(mPosted);
        stopNow = mStopRequested;
    }
    for (auto& task : tasks) {
        if (mOpen) task(*this);
    }
    if (stopNow && mOpen) close("stopped");
}

int ViewerClient::pollTimeoutMs(Clock::time_point now) const {
    auto next = now + std::chrono::seconds(1);
    if (!mStream.helloReceived) return 1000;  // the timers wait for the hello (onTimers)
  // the timers wait for the hello (onTimers)
    if (mOptions.rate > 0) next = std::min(next, mNextRequest);
    if (mOptions.heartbeatMs > 0) next = std::min(next, mNextHeartbeat);
    if (mSidebandWanted && mSideband < 0) next = std::min(next, mNextBind);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return int(std::clamp<int64_t>(wait, 0, 1000));
}

void ViewerClient::onTimers(Clock::time_point now) {
    // Nothing is sent before a hello: a viewer that was told it is busy owes the service exactly
    // the 8 bytes of its answer.
    if (!mStream.helloReceived) return;
    if (mOptions.rate > 0 && now >= mNextRequest) {
        if (mOutstanding < mOptions.maxOutstanding) requestUpdate();
        const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / mOptions.rate));
        mNextRequest += interval;
        if (mNextRequest < now) mNextRequest = now + interval;  // fell behind: no burst to catch up
    }
    if (mOpen && mOptions.heartbeatMs > 0 && now >= mNextHeartbeat) {
        sendHeartbeat();
        mNextHeartbeat = now + std::chrono::milliseconds(mOptions.heartbeatMs);
    }
    if (mSidebandWanted && mSideband < 0 && now >= mNextBind) {
        trySidebandBind();
        mNextBind = now + std::chrono::milliseconds(200);
    }
}

// The output sideband is bound once a hello says this viewer is the one being served: a viewer
// that is turned away must not take the port from the one that is connected.
void ViewerClient::trySidebandBind() {
    sockaddr_storage peer{};
    const std::string family = familyOfPeer(mMain, peer);
    int fd = ::socket(peer.ss_family == AF_INET6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_storage local{};
    socklen_t length;
    if (peer.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&local);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_any;
        a->sin6_port = htons(mOptions.sidebandPort);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&local);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        a->sin_port = htons(mOptions.sidebandPort);
        length = sizeof *a;
    }
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), length) == 0) {
        mSideband = fd;
        emit({{"event", "sideband"}, {"ok", true}, {"port", mOptions.sidebandPort}, {"family", family}});
        return;
    }
    const std::string error = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    if (!mSidebandFailureReported) {
        mSidebandFailureReported = true;  // retried quietly until the port is free
        emit({{"event", "sideband"}, {"ok", false}, {"port", mOptions.sidebandPort}, {"error", error}});
    }
}

bool ViewerClient::sendMain(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (mOpen && sent < bytes.size()) {
        const ssize_t n = ::send(mMain, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(std::string("send: ") + std::strerror(errno));
            return false;
        }
        sent += size_t(n);
    }
    return mOpen;
}

void ViewerClient::requestUpdate() {
    if (sendMain(updateRequestBytes())) ++mOutstanding;
}

void ViewerClient::sendHeartbeat() {
    if (sendMain(heartBeatBytes())) emit({{"event", "heartbeat"}});
}

void ViewerClient::sendHandshake(const ViewerHandshake& handshake) {
    const auto bytes = handshakeBytes(handshake);
    if (sendMain(bytes)) emit({{"event", "handshake"}, {"bytes", bytes.size()}, {"client_id", handshake.clientId}});
}

void ViewerClient::setRate(double perSecond) {
    mOptions.rate = std::max(0.0, perSecond);
    mNextRequest = Clock::now();
}

void ViewerClient::sendInput(const std::vector<uint8_t>& datagram) {
    const bool ok = mInput >= 0 && ::send(mInput, datagram.data(), datagram.size(), 0) == ssize_t(datagram.size());
    emit({{"event", "input"}, {"bytes", datagram.size()}, {"ok", ok}});
}

void ViewerClient::writePicture(const std::string& path, bool cursor) {
    const Picture* picture = cursor ? (mStream.cursorImage ? &*mStream.cursorImage : nullptr) : &mStream.framebuffer().picture();
    const bool ok = picture && writePng(*picture, path);
    json event = {{"event", cursor ? "cursor-png" : "png"}, {"path", path}, {"ok", ok}};
    if (picture) {
        event["width"] = picture->width;
        event["height"] = picture->height;
    }
    emit(event);
}

void ViewerClient::readMain() {
    mReadBuffer.resize(kReadChunk);
    const ssize_t n = ::recv(mMain, mReadBuffer.data(), mReadBuffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) return close(n == 0 ? "end of stream" : std::strerror(errno));
    mStream.feed(std::span<const uint8_t>(mReadBuffer.data(), size_t(n)));
    takeStreamEvents();
    if (mOpen && mStream.failed()) {
        emit({{"event", "stream-error"}, {"reason", mStream.failure()}});
        close("stream error");
    }
}

void ViewerClient::takeStreamEvents() {
    for (const StreamEvent& e : mStream.takeEvents()) {
        if (!mOpen) return;
        switch (e.kind) {
            case StreamEvent::Hello:
                emit({{"event", "hello"}});
                mOutstanding = 0;  // a new service session answers nothing asked before it
                mAnswerUpdatesLeft = 1;
                if (mOptions.sendHandshake) sendHandshake(mOptions.handshake);
                break;
            case StreamEvent::Busy: {
                emit({{"event", "busy"}, {"id", e.clientId}});
                if (mOptions.onBusy == ViewerOptions::OnBusy::Wait) break;
                const uint64_t answer = mOptions.onBusy == ViewerOptions::OnBusy::Echo ? e.clientId : mOptions.busyAnswer;
                std::vector<uint8_t> bytes(8);
                for (size_t i = 0; i < 8; ++i) bytes[i] = uint8_t(answer >> (8 * i));
                if (sendMain(bytes)) emit({{"event", "busy-answer"}, {"id", answer}});
                break;
            }
            case StreamEvent::Resolution:
                emit({{"event", "resolution"}, {"width", e.width}, {"height", e.height}});
                break;
            case StreamEvent::DisplayCount:
                emit({{"event", "display-count"}, {"count", e.count}});
                mAnswerUpdatesLeft = std::max(1, e.count);
                break;
            case StreamEvent::Update:
                ++mUpdates;
                emit({{"event", "update"},
                      {"designation", e.designation},
                      {"rects", e.rects},
                      {"tiles", e.tiles},
                      {"cursor_position", e.cursorPosition},
                      {"cursor_image", e.cursorImage},
                      {"number", mUpdates}});
                // An update without the application section ends its answer once all displays came.
                if (--mAnswerUpdatesLeft <= 0 && e.designation == 0x20) answerDone();
                break;
            case StreamEvent::SectionOpened: break;
            case StreamEvent::SectionClosed: {
                // What this section brought: new applications (icons as hex), the window snapshot,
                // thumbnails and menus.
                nlohmann::json apps = nlohmann::json::array(), windows = nlohmann::json::array(),
                               thumbs = nlohmann::json::array(), menus = nlohmann::json::array();
                for (; mApplicationsReported < mStream.applications.size(); ++mApplicationsReported) {
                    const auto& a = mStream.applications[mApplicationsReported];
                    apps.push_back({{"id", a.applicationID}, {"name", utf8(a.name)},
                                    {"hash", hexString(a.iconHash, 16)}, {"icon", hexString(a.icon.data(), a.icon.size())}});
                }
                for (const auto& w : mStream.windows)
                    windows.push_back({{"application", w.applicationID}, {"window", w.windowID}, {"x", w.x}, {"y", w.y},
                                       {"width", w.width}, {"height", w.height}, {"desktop", w.desktop}, {"z", w.zOrder}});
                for (const auto& t : mStream.thumbnailList)
                    thumbs.push_back({{"window", t.windowID}, {"width", t.width}, {"height", t.height}});
                for (const auto& m : mStream.menus)
                    menus.push_back({{"application", m.applicationID}, {"handle", m.handle}, {"parent", m.parent},
                                     {"flags", m.flags}, {"ordinal", m.ordinal}, {"cmd_char", m.cmdChar}, {"title", m.title}});
                mStream.thumbnailList.clear();
                mStream.menus.clear();
                emit({{"event", "section"}, {"applications", mStream.applications.size()}, {"windows", mStream.windowCount},
                      {"new_applications", apps}, {"window_list", windows}, {"thumbnail_list", thumbs}, {"menu_list", menus}});
                answerDone();
                break;
            }
            case StreamEvent::CursorImage: {
                // Opaque pixels tell a drawn cursor from a blank one.
                int opaque = 0;
                if (mStream.cursorImage) {
                    const auto& pixels = mStream.cursorImage->pixels;
                    for (size_t i = 3; i < pixels.size(); i += 4) opaque += pixels[i] != 0;
                }
                emit({{"event", "cursor-image"}, {"width", e.width}, {"height", e.height}, {"hot_x", e.hotX}, {"hot_y", e.hotY},
                      {"opaque", opaque}});
                break;
            }
        }
    }
    // Each record was described in its update's event; a long session keeps none of them.
    mStream.records.clear();
}

void ViewerClient::answerDone() {
    mAnswerUpdatesLeft = 1;
    if (mOutstanding > 0) --mOutstanding;
}

void ViewerClient::readSideband() {
    uint8_t datagram[65536];
    for (;;) {
        const ssize_t n = ::recv(mSideband, datagram, sizeof datagram, MSG_DONTWAIT);
        if (n < 0) return;
        const auto read = readSidebandDatagram(std::span<const uint8_t>(datagram, size_t(n)));
        if (!read) {
            emit({{"event", "sideband-unreadable"}, {"bytes", n}});
            continue;
        }
        switch (read->kind) {
            case SidebandDatagram::CursorPosition:
                ++mCursorDatagrams;
                emit({{"event", "cursor"}, {"x", read->x}, {"y", read->y}, {"visible", read->visible}});
                break;
            case SidebandDatagram::ActiveApplication:
                emit({{"event", "active-application"}, {"pid", read->processID}});
                break;
            case SidebandDatagram::Menu:
                emit({{"event", "menu"}, {"handle", read->menuHandle}, {"application", read->applicationID},
                      {"titles", read->menuTitles}, {"handles", read->menuHandles}});
                break;
        }
    }
}

void ViewerClient::close(const std::string& reason) {
    if (!mOpen) return;
    mOpen = false;
    ::shutdown(mMain, SHUT_RDWR);
    emit({{"event", "closed"}, {"reason", reason}, {"updates", mUpdates}, {"cursor_datagrams", mCursorDatagrams}});
}

}  // namespace viewer
