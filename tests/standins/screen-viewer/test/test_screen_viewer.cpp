// The viewer against a scripted fake service on loopback: what it sends after a hello or a busy
// message, how it paces its requests, what it makes of updates and cursor datagrams, and the
// program's JSON lines, commands and picture files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "ViewerClient.h"
#include "ViewerPictures.h"

extern char** environ;

namespace viewer {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;

void put(Bytes& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

Bytes hello() {
    Bytes out{1, 1, 1, 9, 1, 0, 0, 3, 0, 2, 0};
    out.resize(47, 0);
    return out;
}

Bytes busy(uint64_t id) {
    Bytes out{2};
    put(out, id, 8);
    return out;
}

Bytes resolution(uint16_t w, uint16_t h) {
    Bytes out{0x10, 0, 0, 0, 0};
    put(out, w, 2);
    put(out, h, 2);
    return out;
}

Bytes rectHeader(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint8_t encoding, uint32_t length) {
    Bytes out;
    for (uint16_t v : {x, y, w, h}) put(out, v, 2);
    out.push_back(encoding);
    put(out, length, 4);
    return out;
}

Bytes solidJpeg(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) rgb[i] = r, rgb[i + 1] = g, rgb[i + 2] = b;
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_444, 95, 0);
    Bytes out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

// One update of a single JPEG tile (and the cursor position when asked), designation 0x20.
Bytes tileUpdate(uint16_t x, uint16_t y, const Bytes& jpeg, uint16_t w, uint16_t h, bool withCursor = false) {
    Bytes out{0x20};
    put(out, withCursor ? 2 : 1, 2);
    const Bytes header = rectHeader(x, y, w, h, 4, uint32_t(jpeg.size()));
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), jpeg.begin(), jpeg.end());
    if (withCursor) {
        const Bytes cursor = rectHeader(5, 6, 1, 0, 2, 0);
        out.insert(out.end(), cursor.begin(), cursor.end());
    }
    return out;
}

// The fake service: a loopback listener whose one accepted connection the test scripts by hand.
class FakeService {
public:
    FakeService() {
        mListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(mListener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(mListener, 4);
        socklen_t length = sizeof a;
        ::getsockname(mListener, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~FakeService() {
        if (mClient >= 0) ::close(mClient);
        ::close(mListener);
    }

    bool accept() {
        pollfd p{mListener, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return false;
        mClient = ::accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC);
        return mClient >= 0;
    }
    void send(const Bytes& bytes) { ASSERT_EQ(::send(mClient, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    // Exactly count bytes, or fewer when the time runs out first.
    Bytes read(size_t count, std::chrono::milliseconds timeout = 3000ms) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{mClient, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) != 1) break;
            uint8_t byte[4096];
            const ssize_t n = ::recv(mClient, byte, std::min(sizeof byte, count - out.size()), 0);
            if (n <= 0) break;
            out.insert(out.end(), byte, byte + n);
        }
        return out;
    }
    void close() {
        ::close(mClient);
        mClient = -1;
    }

    uint16_t port = 0;

private:
    int mListener = -1;
    int mClient = -1;
};

// Events of an in-process viewer, awaited by name.
class Events {
public:
    void operator()(const json& event) {
        std::lock_guard lock(mMutex);
        mEvents.push_back(event);
        mChanged.notify_all();
    }
    std::optional<json> waitFor(const std::string& name, std::chrono::milliseconds timeout = 5000ms, size_t nth = 1) {
        std::unique_lock lock(mMutex);
        std::optional<json> found;
        mChanged.wait_for(lock, timeout, [&] {
            size_t seen = 0;
            for (const json& e : mEvents) {
                if (e["event"] == name && ++seen == nth) return found = e, true;
            }
            return false;
        });
        return found;
    }
    size_t count(const std::string& name) {
        std::lock_guard lock(mMutex);
        return size_t(std::count_if(mEvents.begin(), mEvents.end(), [&](const json& e) { return e["event"] == name; }));
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<json> mEvents;
};

// A viewer connected to a fake service, configured by the test before it starts.
struct Connected {
    explicit Connected(const std::function<void(ViewerOptions&)>& configure = {}) {
        options.port = service.port;
        options.sidebandPort = 0;
        options.serverSidebandPort = freeLoopbackPort(SOCK_DGRAM);
        if (configure) configure(options);
        client = std::make_unique<ViewerClient>(options, std::ref(events));
        EXPECT_TRUE(client->start());
        EXPECT_TRUE(service.accept());
    }
    // Says hello and takes the handshake; true when it had the length.
    bool greet(size_t handshakeLength = 109) {
        service.send(hello());
        return service.read(handshakeLength).size() == handshakeLength;
    }

    FakeService service;
    Events events;
    ViewerOptions options;
    std::unique_ptr<ViewerClient> client;  // last: gone before the events it reports to
};

TEST(ScreenViewer, AnswersTheHelloWithAHandshakeAsLongAsItsVersionSays) {
    struct Case {
        uint8_t major, minor, sub;
        size_t length;
    };
    for (const Case c : {Case{0, 1, 2, 5}, Case{1, 0, 2, 5}, Case{1, 1, 1, 105 + 2 * 16}, Case{1, 1, 2, 109 + 2 * 16}}) {
        SCOPED_TRACE(int(c.length));
        Connected viewer([&](ViewerOptions& o) {
            o.handshake = {.major = c.major, .minor = c.minor, .sub = c.sub, .clientId = 0x1122334455667788,
                           .width = 800, .height = 600, .iconHashes = {Bytes(16, 0xAB), Bytes(16, 0xCD)}};
        });
        auto& service = viewer.service;
        // Nothing before the hello.
        EXPECT_TRUE(service.read(1, 200ms).empty());
        service.send(hello());
        const Bytes handshake = service.read(c.length);
        ASSERT_EQ(handshake.size(), c.length);
        EXPECT_TRUE(service.read(1, 200ms).empty()) << "more than the handshake";
        EXPECT_EQ(handshake[0], 1);
        EXPECT_EQ(handshake[3], c.sub);
        if (c.length > 5) {
            EXPECT_EQ(handshake[5] & 0x80, 0x80) << "accepts squeezed tiles by default";
            EXPECT_EQ(handshake[5 + 74], 2) << "icon hash count";
            EXPECT_EQ(handshake[5 + 76], 0x88) << "client id, little-endian";
            EXPECT_EQ(handshake[5 + 83], 0x11);
        }
        if (c.sub >= 2 && c.length > 5) {
            EXPECT_EQ(handshake[105] | handshake[106] << 8, 800);
            EXPECT_EQ(handshake[107] | handshake[108] << 8, 600);
        }
        if (c.length > 5) {
            const size_t hashes = c.length - 32;  // the two hashes end the handshake
            EXPECT_EQ(handshake[hashes], 0xAB);
            EXPECT_EQ(handshake[hashes + 16], 0xCD);
        }
        ASSERT_TRUE(viewer.events.waitFor("handshake"));
    }
}

TEST(ScreenViewer, BusyIsAnsweredWithTheIdOnlyWhenToldAndNothingElseIsSentBeforeAHello) {
    struct Case {
        ViewerOptions::OnBusy onBusy;
        uint64_t answer;
        std::optional<uint64_t> expected;
    };
    const uint64_t id = 0x0102030405060708;
    for (const Case c : {Case{ViewerOptions::OnBusy::Echo, 0, id}, Case{ViewerOptions::OnBusy::Answer, 77, 77},
                         Case{ViewerOptions::OnBusy::Wait, 0, std::nullopt}}) {
        Connected viewer([&](ViewerOptions& o) {
            o.onBusy = c.onBusy;
            o.busyAnswer = c.answer;
            o.rate = 50;
            o.heartbeatMs = 20;
        });
        FakeService& service = viewer.service;
    Events& events = viewer.events;
        service.send(busy(id));
        auto busyEvent = events.waitFor("busy");
        ASSERT_TRUE(busyEvent);
        EXPECT_EQ((*busyEvent)["id"], id);
        const Bytes answer = service.read(9, 300ms);
        if (c.expected) {
            Bytes want;
            put(want, *c.expected, 8);
            EXPECT_EQ(answer, want) << "the 8-byte answer alone, no request or heartbeat before a hello";
            // Taken over: a hello starts the session; the handshake and requests follow.
            EXPECT_TRUE(viewer.greet());
            EXPECT_EQ(service.read(1), Bytes{0x20});
        } else {
            EXPECT_TRUE(answer.empty());
            service.close();
            auto closed = events.waitFor("closed");
            ASSERT_TRUE(closed);
            EXPECT_EQ((*closed)["reason"], "end of stream");
            EXPECT_TRUE(viewer.client->waitFor(2000ms));
        }
    }
}

TEST(ScreenViewer, PacesRequestsByItsAnswersAndSendsHeartbeats) {
    Connected viewer([](ViewerOptions& o) {
        o.rate = 100;
        o.heartbeatMs = 400;
    });
    FakeService& service = viewer.service;
    Events& events = viewer.events;
    ASSERT_TRUE(viewer.greet());
    // One request is outstanding until it is answered, however long the answer takes.
    EXPECT_EQ(service.read(1), Bytes{0x20});
    Bytes waiting = service.read(9, 800ms);
    EXPECT_EQ(waiting, (Bytes{4, 0, 0, 0, 0, 0, 0, 0, 0})) << "only heartbeats while the request is unanswered";
    // Two displays: the answer ends with the second display's update.
    service.send({0x25, 2, 0, 0x20, 0, 0});
    EXPECT_TRUE(service.read(1, 100ms).empty()) << "asked again before the answer was whole";
    service.send({0x20, 0, 0});
    EXPECT_EQ(service.read(1), Bytes{0x20});
    // An answer with an application section ends with its closing mark.
    service.send({0x28, 0, 0, 0x27, 0});
    EXPECT_TRUE(service.read(1, 100ms).empty());
    service.send({0x27, 1});
    EXPECT_EQ(service.read(1), Bytes{0x20});
    auto count = events.waitFor("display-count");
    ASSERT_TRUE(count);
    EXPECT_EQ((*count)["count"], 2);
    EXPECT_TRUE(events.waitFor("section"));
}

TEST(ScreenViewer, DrawsTilesIntoAFramebufferOfTheAnnouncedSizeAndTakesCursorDatagrams) {
    Connected viewer([](ViewerOptions& o) { o.sidebandPort = freeLoopbackPort(SOCK_DGRAM); });
    FakeService& service = viewer.service;
    Events& events = viewer.events;
    ViewerClient& client = *viewer.client;
    ASSERT_TRUE(viewer.greet());
    ASSERT_TRUE(events.waitFor("sideband"));

    Bytes stream = resolution(64, 48);
    const Bytes tile = tileUpdate(16, 8, solidJpeg(16, 16, 200, 30, 40), 16, 16, true);
    stream.insert(stream.end(), tile.begin(), tile.end());
    // The stream arrives split in the middle of the tile.
    service.send(Bytes(stream.begin(), stream.begin() + 40));
    std::this_thread::sleep_for(50ms);
    service.send(Bytes(stream.begin() + 40, stream.end()));
    auto update = events.waitFor("update");
    ASSERT_TRUE(update);
    EXPECT_EQ((*update)["rects"], 2);
    EXPECT_EQ((*update)["tiles"], 1);
    EXPECT_EQ((*update)["cursor_position"], true);

    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(viewer.options.sidebandPort);
    const Bytes cursor = rectHeader(uint16_t(-3), 40, 1, 0, 2, 0);
    const Bytes garbage{1, 2, 3};
    for (const Bytes* d : {&garbage, &cursor}) ::sendto(udp, d->data(), d->size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(udp);
    auto moved = events.waitFor("cursor");
    ASSERT_TRUE(moved);
    EXPECT_EQ((*moved)["x"], -3);
    EXPECT_EQ((*moved)["y"], 40);
    EXPECT_EQ((*moved)["visible"], true);
    EXPECT_EQ(events.count("sideband-unreadable"), 1u);

    // A stream the viewer cannot take apart ends the connection with its reason.
    service.send({0x77});
    auto broken = events.waitFor("stream-error");
    ASSERT_TRUE(broken);
    EXPECT_TRUE(client.waitFor(2000ms));
    const Picture& picture = client.stream().framebuffer().picture();
    ASSERT_EQ(picture.width, 64);
    ASSERT_EQ(picture.height, 48);
    const uint8_t* inside = picture.at(20, 12);
    EXPECT_NEAR(inside[2], 200, 6);  // BGRX
    EXPECT_NEAR(inside[1], 30, 6);
    EXPECT_NEAR(inside[0], 40, 6);
    EXPECT_EQ(picture.at(2, 2)[2], 0) << "outside the tile";
}

// The program: JSON lines on stdout, commands on stdin, the picture on request and at the end.
class ViewerProgram {
public:
    explicit ViewerProgram(const std::vector<std::string>& arguments) {
        int in[2], out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv{const_cast<char*>(KL_SCREEN_VIEWER)};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&mPid, KL_SCREEN_VIEWER, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        mIn = in[1];
        mOut = fdopen(out[0], "r");
    }
    ~ViewerProgram() {
        if (mIn >= 0) ::close(mIn);
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
        std::fclose(mOut);
    }
    void command(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(mIn, text.data(), text.size()), ssize_t(text.size()));
    }
    // The next line whose event is name (lines before it are kept in seen).
    std::optional<json> next(const std::string& name) {
        char line[8192];
        while (std::fgets(line, sizeof line, mOut)) {
            json event = json::parse(line, nullptr, false);
            seen.push_back(event);
            if (event.is_object() && event["event"] == name) return event;
        }
        return std::nullopt;
    }
    int closeInputAndWait() {
        ::close(mIn);
        mIn = -1;
        int status = -1;
        ::waitpid(mPid, &status, 0);
        mPid = -1;
        return status;
    }

    std::vector<json> seen;

private:
    pid_t mPid = -1;
    int mIn = -1;
    FILE* mOut = nullptr;
};

TEST(ScreenViewer, ProgramPrintsEventsWritesPicturesAndEndsWithItsInput) {
    const auto folder = std::filesystem::temp_directory_path() / ("screen-viewer-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    FakeService service;
    const uint16_t input = freeLoopbackPort(SOCK_DGRAM);
    int inputSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(input);
    ASSERT_EQ(::bind(inputSocket, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    ViewerProgram program({"--port", std::to_string(service.port), "--sideband-port", "0", "--server-sideband-port",
                           std::to_string(input), "--version", "1.1.1", "--client-id", "9", "--png-on-exit",
                           (folder / "exit.png").string()});
    ASSERT_TRUE(program.next("connected"));
    ASSERT_TRUE(service.accept());
    service.send(hello());
    auto handshake = program.next("handshake");
    ASSERT_TRUE(handshake);
    EXPECT_EQ((*handshake)["bytes"], 105);
    EXPECT_EQ(service.read(105).size(), 105u);

    Bytes stream = resolution(32, 32);
    const Bytes tile = tileUpdate(0, 0, solidJpeg(32, 32, 10, 220, 10), 32, 32);
    stream.insert(stream.end(), tile.begin(), tile.end());
    service.send(stream);
    ASSERT_TRUE(program.next("update"));

    program.command("png " + (folder / "now.png").string());
    auto png = program.next("png");
    ASSERT_TRUE(png);
    EXPECT_EQ((*png)["ok"], true);
    program.command("cursor-png " + (folder / "cursor.png").string());
    auto noCursor = program.next("cursor-png");
    ASSERT_TRUE(noCursor);
    EXPECT_EQ((*noCursor)["ok"], false) << "no cursor image came";
    program.command("mouse 1 -5 7");
    ASSERT_TRUE(program.next("input"));
    uint8_t datagram[64];
    EXPECT_EQ(::recv(inputSocket, datagram, sizeof datagram, 0), 6);
    EXPECT_EQ(datagram[0], 6);
    EXPECT_EQ(int16_t(datagram[2] | datagram[3] << 8), -5);
    ::close(inputSocket);
    program.command("request");
    EXPECT_EQ(service.read(1), Bytes{0x20});
    program.command("bogus");
    ASSERT_TRUE(program.next("error"));

    EXPECT_EQ(program.closeInputAndWait(), 0);
    for (const char* name : {"now.png", "exit.png"}) {
        std::FILE* file = std::fopen((folder / name).c_str(), "rb");
        ASSERT_TRUE(file) << name;
        Bytes bytes(4096 * 4);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
        std::fclose(file);
        auto picture = decodePng(bytes);
        ASSERT_TRUE(picture) << name;
        EXPECT_EQ(picture->width, 32);
        EXPECT_NEAR(picture->at(16, 16)[1], 220, 6) << name;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace viewer
