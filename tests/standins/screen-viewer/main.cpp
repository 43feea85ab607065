// screen-viewer: a remote viewer of the screen service run from the command line. It prints one
// JSON line per event on stdout and takes commands, one a line, on stdin.
//
//   screen-viewer [--host H] [--port P] [--sideband-port P] [--server-sideband-port P]
//                 [--version MAJOR.MINOR.SUB] [--mode N] [--encodings N] [--no-squeeze]
//                 [--size WxH] [--client-id N] [--icon-hash HEX]... [--android-flags N]
//                 [--no-handshake] [--rate N] [--outstanding N] [--heartbeat-ms N]
//                 [--on-busy wait|echo|ID] [--png-on-exit PATH]
//
// The ports default to KL_SCREEN_MAIN_PORT, KL_SCREEN_CLIENT_SIDEBAND_PORT and
// KL_SCREEN_SERVER_SIDEBAND_PORT, else 7001, 7000 and 7002. The version decides the handshake's
// length: a zero major or minor sends 5 bytes, a sub-version below 2 sends 105, else 109 (then the
// icon hashes). --sideband-port 0 receives no datagrams.
//
// Events: connected, hello, handshake (bytes sent), busy (id), busy-answer, sideband (bound or
// not), resolution (width, height), display-count, update (designation, rects, tiles, cursor
// rectangles), cursor-image, section (end of an application section), cursor (one per datagram),
// active-application, menu, heartbeat, input, png, cursor-png, stream-error, closed (reason),
// error.
//
// Commands: "png PATH", "cursor-png PATH", "request", "heartbeat", "rate N", "handshake [WxH]",
// "input HEX", "mouse BUTTONS X Y", "tap TYPE X Y", "scroll DX DY", "close". The program ends when
// the main channel closes, on "close", SIGINT, SIGTERM, or when its stdin closes.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "ViewerClient.h"
#include "ViewerPictures.h"

namespace {

using nlohmann::json;
using viewer::ViewerClient;
using viewer::ViewerOptions;

std::atomic<bool> gStop{false};
std::mutex gOutput;

void emit(const json& line) {
    const std::string text = line.dump() + "\n";
    std::lock_guard lock(gOutput);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void usage(const std::string& message) {
    emit({{"event", "error"}, {"message", message}});
    std::fprintf(stderr,
                 "usage: screen-viewer [--host H] [--port P] [--sideband-port P] [--server-sideband-port P]\n"
                 "                     [--version MAJOR.MINOR.SUB] [--mode N] [--encodings N] [--no-squeeze]\n"
                 "                     [--size WxH] [--client-id N] [--icon-hash HEX]... [--android-flags N]\n"
                 "                     [--no-handshake] [--rate N] [--outstanding N] [--heartbeat-ms N]\n"
                 "                     [--on-busy wait|echo|ID] [--png-on-exit PATH]\n");
    std::exit(2);
}

uint64_t number(const std::string& text, const char* what, uint64_t largest = UINT64_MAX) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end || errno || value > largest) usage(std::string("bad ") + what + ": " + text);
    return value;
}

uint16_t portFromEnvironment(const char* name, uint16_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? uint16_t(number(value, name, 65535)) : fallback;
}

bool parseSize(const std::string& text, uint16_t& width, uint16_t& height) {
    unsigned w = 0, h = 0;
    char tail;
    if (std::sscanf(text.c_str(), "%ux%u%c", &w, &h, &tail) != 2 || w > 65535 || h > 65535) return false;
    width = uint16_t(w);
    height = uint16_t(h);
    return true;
}

std::optional<std::vector<uint8_t>> hexBytes(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned byte;
        if (std::sscanf(text.substr(i, 2).c_str(), "%2x", &byte) != 1 || !std::isxdigit(uint8_t(text[i + 1]))) {
            return std::nullopt;
        }
        out.push_back(uint8_t(byte));
    }
    return out;
}

struct Options {
    ViewerOptions viewer;
    std::string pngOnExit;
};

Options parse(int argc, char** argv) {
    Options o;
    ViewerOptions& v = o.viewer;
    v.port = portFromEnvironment("KL_SCREEN_MAIN_PORT", 7001);
    v.sidebandPort = portFromEnvironment("KL_SCREEN_CLIENT_SIDEBAND_PORT", 7000);
    v.serverSidebandPort = portFromEnvironment("KL_SCREEN_SERVER_SIDEBAND_PORT", 7002);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--host") v.host = value();
        else if (arg == "--port") v.port = uint16_t(number(value(), "port", 65535));
        else if (arg == "--sideband-port") v.sidebandPort = uint16_t(number(value(), "sideband port", 65535));
        else if (arg == "--server-sideband-port") v.serverSidebandPort = uint16_t(number(value(), "server sideband port", 65535));
        else if (arg == "--version") {
            unsigned major, minor, sub;
            char tail;
            const std::string text = value();
            if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &sub, &tail) != 3 || major > 255 || minor > 255 || sub > 255) {
                usage("bad version: " + text);
            }
            v.handshake.major = uint8_t(major);
            v.handshake.minor = uint8_t(minor);
            v.handshake.sub = uint8_t(sub);
        } else if (arg == "--mode") v.handshake.displayMode = uint8_t(number(value(), "mode", 255));
        else if (arg == "--encodings") v.handshake.encodingModes = uint32_t(number(value(), "encodings", UINT32_MAX));
        else if (arg == "--no-squeeze") v.handshake.encodingModes &= ~0x80u;
        else if (arg == "--size") {
            const std::string text = value();
            if (!parseSize(text, v.handshake.width, v.handshake.height)) usage("bad size: " + text);
        } else if (arg == "--client-id") v.handshake.clientId = number(value(), "client id");
        else if (arg == "--icon-hash") {
            const std::string text = value();
            auto hash = hexBytes(text);
            if (!hash || hash->size() != 16) usage("bad icon hash (32 hex digits): " + text);
            v.handshake.iconHashes.push_back(*hash);
        } else if (arg == "--android-flags") v.handshake.androidFlags = uint16_t(number(value(), "android flags", 65535));
        else if (arg == "--no-handshake") v.sendHandshake = false;
        else if (arg == "--rate") {
            const std::string text = value();
            char* end = nullptr;
            v.rate = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !(v.rate >= 0 && v.rate <= 1000)) usage("bad rate: " + text);
        } else if (arg == "--outstanding") v.maxOutstanding = int(number(value(), "outstanding", 1000));
        else if (arg == "--heartbeat-ms") v.heartbeatMs = int(number(value(), "heartbeat interval", 3600000));
        else if (arg == "--on-busy") {
            const std::string text = value();
            if (text == "wait") v.onBusy = ViewerOptions::OnBusy::Wait;
            else if (text == "echo") v.onBusy = ViewerOptions::OnBusy::Echo;
            else {
                v.onBusy = ViewerOptions::OnBusy::Answer;
                v.busyAnswer = number(text, "busy answer");
            }
        } else if (arg == "--png-on-exit") o.pngOnExit = value();
        else usage("unknown option " + arg);
    }
    return o;
}

// One command line from stdin, handed to the viewer's thread; false for "close".
bool command(ViewerClient& client, const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb.empty()) return true;
    auto bad = [&] { emit({{"event", "error"}, {"message", "bad command: " + line}}); };
    if (verb == "png" || verb == "cursor-png") {
        std::string path;
        if (!(in >> path)) return bad(), true;
        client.post([path, cursor = verb == "cursor-png"](ViewerClient& c) { c.writePicture(path, cursor); });
    } else if (verb == "request") {
        client.post([](ViewerClient& c) { c.requestUpdate(); });
    } else if (verb == "heartbeat") {
        client.post([](ViewerClient& c) { c.sendHeartbeat(); });
    } else if (verb == "rate") {
        double rate;
        if (!(in >> rate) || !(rate >= 0 && rate <= 1000)) return bad(), true;
        client.post([rate](ViewerClient& c) { c.setRate(rate); });
    } else if (verb == "handshake") {
        std::string size;
        uint16_t w = 0, h = 0;
        if ((in >> size) && !parseSize(size, w, h)) return bad(), true;
        client.post([w, h, hasSize = !size.empty()](ViewerClient& c) {
            viewer::ViewerHandshake handshake = c.options().handshake;
            if (hasSize) {
                handshake.width = w;
                handshake.height = h;
            }
            c.sendHandshake(handshake);
        });
    } else if (verb == "input") {
        std::string hex;
        auto bytes = (in >> hex) ? hexBytes(hex) : std::nullopt;
        if (!bytes || bytes->empty()) return bad(), true;
        client.post([datagram = *bytes](ViewerClient& c) { c.sendInput(datagram); });
    } else if (verb == "mouse" || verb == "tap") {
        int a, x, y;
        if (!(in >> a >> x >> y) || a < 0 || a > 255) return bad(), true;
        const auto datagram = verb == "mouse" ? viewer::mouseBytes(uint8_t(a), int16_t(x), int16_t(y))
                                              : viewer::tapBytes(uint8_t(a), uint16_t(x), uint16_t(y));
        client.post([datagram](ViewerClient& c) { c.sendInput(datagram); });
    } else if (verb == "scroll") {
        float dx, dy;
        if (!(in >> dx >> dy)) return bad(), true;
        client.post([datagram = viewer::scrollBytes(dx, dy)](ViewerClient& c) { c.sendInput(datagram); });
    } else if (verb == "close") {
        return false;
    } else {
        bad();
    }
    return true;
}

void onSignal(int) { gStop = true; }

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    ViewerClient client(options.viewer, emit);
    if (!client.start()) return 1;

    // A closed pipe on stdin means the caller is done with us; the end of a file or terminal
    // only ends the commands.
    struct stat in {};
    const bool stdinIsPipe = fstat(STDIN_FILENO, &in) == 0 && (S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode));
    bool reading = true;
    std::string line;
    while (!gStop && !client.finished()) {
        if (!reading) {
            client.waitFor(std::chrono::milliseconds(100));
            continue;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            if (stdinIsPipe) break;
            reading = false;
            continue;
        }
        line.append(chunk, size_t(n));
        for (size_t end; !gStop && (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
            if (!command(client, line.substr(0, end))) gStop = true;
        }
    }
    client.stop();
    client.wait();
    if (!options.pngOnExit.empty()) client.writePicture(options.pngOnExit);
    return 0;
}
