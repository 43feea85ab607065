// The tunnel-node program against the rendezvous stand-in, in real time: registration, the 5-second
// ping cycle, a recycle on a silent server, an introduction of two nodes, and bad arguments.
#include <gtest/gtest.h>

#include "PeerTestSupport.h"
#include "StandinProcess.h"
#include "support/TestEnvironment.h"

namespace kl {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

test::StandinProcess node(uint16_t serverPort, std::vector<std::string> extra) {
    std::vector<std::string> argv = {KL_TUNNEL_NODE, "--server", "127.0.0.1:" + std::to_string(serverPort),
                                     "--key", test::kPeerKeyHex};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return test::StandinProcess(argv);
}

TEST(PeerNode, RegistersAndPongsEveryFiveSeconds) {
    test::RendezvousStandin server(test::kPeerKeyHex);
    auto a = node(server.port(), {"--id", "5", "--uuid", "node-a"});
    auto registered = a.waitForEvent("registered", 20s);
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->value("external", ""), "127.0.0.1:" + std::to_string(registered->value("local_port", 0)));

    const auto firstPong = std::chrono::steady_clock::now();
    ASSERT_TRUE(a.waitFor([](const json& l) { return l.value("event", "") == "pong" && l.value("pongs", 0) == 2; }, 20s));
    // The next ping leaves 5 s after a pong (lower bound only; the node notices pongs on a 50 ms tick).
    EXPECT_GE(std::chrono::steady_clock::now() - firstPong, 4500ms);
    std::vector<json> pings;
    for (const auto& line : server.lines()) {
        if (line.value("event", "") == "ping") pings.push_back(line);
    }
    ASSERT_GE(pings.size(), 2u);
    EXPECT_EQ(pings[0].value("counter", 9), 0);
    EXPECT_EQ(pings[1].value("counter", 9), 1);
    EXPECT_EQ(a.terminate(), 0);
    EXPECT_TRUE(a.waitForEvent("stopped", 1s));
}

TEST(PeerNode, SilentServerMakesTheNodeRecycleAndReportEverySecondTimeOut) {
    test::RendezvousStandin server(test::kPeerKeyHex);
    auto a = node(server.port(), {"--id", "5", "--uuid", "node-a", "--ping-interval-ms", "100", "--ping-timeout-ms", "500"});
    ASSERT_TRUE(a.waitForEvent("registered", 20s));
    server.send("mode silent");
    ASSERT_TRUE(a.waitForEvent("ping-timeout", 20s));
    // The report comes with the second time-out; the node notices each recycle on its next tick.
    EXPECT_TRUE(test::waitFor([&] { return a.count("recycled") >= 2; }, 10s));
    server.send("mode normal");
    const size_t from = a.lineCount();
    EXPECT_TRUE(a.waitForEvent("pong", 20s, from));
}

TEST(PeerNode, ConnectingNodeAndItsTargetAreBothInvited) {
    test::RendezvousStandin server(test::kPeerKeyHex);
    auto a = node(server.port(), {"--id", "5", "--uuid", "node-a"});
    ASSERT_TRUE(a.waitForEvent("registered", 20s));
    auto b = node(server.port(), {"--id", "6", "--uuid", "node-b", "--remote", "5:node-a", "--connect", "5"});
    auto sent = b.waitForEvent("connect-sent", 20s);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(a.waitForEvent("invited", 20s));
    EXPECT_TRUE(b.waitForEvent("invited", 20s));
    auto connect = server.waitForEvent("connect", 5s);
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->value("uuid", ""), "node-b");
    EXPECT_EQ(connect->value("peer", 0), 5);
    EXPECT_EQ(connect->value("transaction", int64_t(0)), sent->value("transaction", int64_t(-1)));
    // Five requests, one attempt per node.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(a.count("invited"), 1u);
    EXPECT_EQ(b.count("invited"), 1u);
}

TEST(PeerNode, BadArgumentsAreRefused) {
    for (std::vector<std::string> extra : std::vector<std::vector<std::string>>{
             {"--id", "x", "--uuid", "u"}, {"--uuid", "u"}, {"--id", "1", "--uuid", "u", "--connect", "9"},
             {"--id", "1", "--uuid", "u", "--forward", "1:2"}, {"--id", "1", "--uuid", "u", "--bogus", "1"}}) {
        auto a = node(1, extra);
        auto error = a.waitForEvent("error", 10s);
        EXPECT_TRUE(error) << extra[0];
        EXPECT_EQ(WEXITSTATUS(a.stop()), 2) << extra[0];
    }
}

}  // namespace
}  // namespace kl
