// A forwarded connection closes one way, whichever end starts it: the data in flight arrives, the
// connection leaves both peers' tables once (a second leave would count another connection off
// the main channel), the connection beside it carries on, and the connection, its channel, its
// plug and its local socket are freed afterwards: nothing keeps itself alive.
#include <gtest/gtest.h>
#include <udt/udt.h>

#include <algorithm>
#include <future>

#include "ForwardTestSupport.h"
#include "tunnel/channel/TunnexSocketImpl.h"
#include "tunnel/forward/TunnexForwardedConnection.h"

namespace kl {
namespace {

using namespace kl::test;

enum class End { LocalClient, RemoteService, BrokenChannel, Teardown };

std::string endName(const ::testing::TestParamInfo<End>& info) {
    switch (info.param) {
        case End::LocalClient: return "LocalClientCloses";
        case End::RemoteService: return "RemoteServiceCloses";
        case End::BrokenChannel: return "ChannelBreaks";
        case End::Teardown: return "TunnelTornDown";
    }
    return "";
}

bool echoesAByte(int from, int to) {
    char byte = 'x', got = 0;
    return ::write(from, &byte, 1) == 1 && readExactly(to, &got, 1) && got == byte;
}

// What of one side's connection must be gone once it closed.
struct Freed {
    std::weak_ptr<TunnexForwardedConnection> connection;
    std::weak_ptr<TunnexSocketImpl> channel;
    std::weak_ptr<Plug> plug;
    std::weak_ptr<Socket> local;
    bool expired() const { return connection.expired() && channel.expired() && plug.expired() && local.expired(); }
};

class ForwardedConnectionClose : public ForwardPeers, public ::testing::WithParamInterface<End> {
protected:
    // The connection of peer that is not among before.
    static Freed newConnection(const std::shared_ptr<TunnexPeer>& peer,
                               const std::vector<std::shared_ptr<TunnexForwardedConnection>>& before) {
        std::shared_ptr<TunnexForwardedConnection> found;
        waitFor([&] {
            for (const auto& connection : peer->forwardedConnections()) {
                if (std::find(before.begin(), before.end(), connection) == before.end()) found = connection;
            }
            return found && found->localSocket();
        });
        if (!found) return {};
        return {found, found->channel(), found->plug(), found->localSocket()};
    }
};

TEST_P(ForwardedConnectionClose, ClosesOnceDeliversWhatIsInFlightAndFreesEverything) {
    const End end = GetParam();
    connect(true);
    int serverPort = 0;
    const int listener = plainListener(AF_INET, &serverPort);
    const uint16_t local = forward(peerA, uint16_t(serverPort), "svc-one-way");

    // A connection beside the one that closes.
    const int otherClient = plainConnect(AF_INET6, local);
    const int otherServer = plainAccept(listener, 30000);
    ASSERT_GE(otherServer, 0);
    ASSERT_TRUE(echoesAByte(otherClient, otherServer));
    ASSERT_TRUE(waitFor([&] {
        return peerA->forwardedConnections().size() == 1 && peerB->forwardedConnections().size() == 1;
    }));
    const auto otherOfA = peerA->forwardedConnections(), otherOfB = peerB->forwardedConnections();

    const int client = plainConnect(AF_INET6, local);
    const int server = plainAccept(listener, 30000);
    ASSERT_GE(server, 0);
    ASSERT_TRUE(echoesAByte(client, server));
    const Freed ofA = newConnection(peerA, otherOfA), ofB = newConnection(peerB, otherOfB);
    ASSERT_TRUE(ofA.connection.lock() && ofB.connection.lock());
    EXPECT_EQ(peerA->tunnelCount(), 2);

    // One end writes a block and closes at once: the other gets all of it, then the end.
    auto closesAfterABlock = [&](int writer, int reader) {
        const Bytes block = randomBytes(3 << 20, unsigned(end));
        ASSERT_TRUE(writeAll(writer, block.data(), block.size()));
        ::close(writer);
        auto got = readToEnd(reader);
        ASSERT_TRUE(got) << "no end of stream";
        EXPECT_TRUE(*got == block) << "got " << got->size() << " of " << block.size() << " bytes";
        ::close(reader);
    };
    switch (end) {
        case End::LocalClient: closesAfterABlock(client, server); break;
        case End::RemoteService: closesAfterABlock(server, client); break;
        case End::BrokenChannel: {
            // The far end of A's channel vanishes under it, without the forward's own close.
            auto channelOfB = ofB.channel.lock();
            ASSERT_TRUE(channelOfB);
            UDT::close(channelOfB->udtSocket());
            break;
        }
        case End::Teardown: peerA->teardownConnection(); break;
    }
    if (end == End::BrokenChannel || end == End::Teardown) {
        EXPECT_TRUE(seesEndOfStream(client));
        EXPECT_TRUE(seesEndOfStream(server));
        ::close(client);
        ::close(server);
    }

    EXPECT_TRUE(waitFor([&] { return ofA.expired(); })) << "A's connection is still held";
    EXPECT_TRUE(waitFor([&] { return ofB.expired(); })) << "B's connection is still held";
    if (end == End::Teardown) {
        EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 0 && peerB->channelKeyCount() == 0; }));
    } else {
        // Only the other connection's two keys are left on each side, and it is counted once.
        EXPECT_TRUE(waitFor([&] { return peerA->channelKeyCount() == 2 && peerB->channelKeyCount() == 2; }));
        EXPECT_EQ(peerA->forwardedConnections(), otherOfA);
        EXPECT_EQ(peerB->forwardedConnections(), otherOfB);
        EXPECT_TRUE(waitFor([&] { return peerA->tunnelCount() == 1 && peerB->tunnelCount() == 1; }))
            << "tunnel counts " << peerA->tunnelCount() << " and " << peerB->tunnelCount();
        EXPECT_TRUE(echoesAByte(otherClient, otherServer));
        EXPECT_TRUE(echoesAByte(otherServer, otherClient));
    }
    ::close(otherClient);
    ::close(otherServer);
    ::close(listener);
}

INSTANTIATE_TEST_SUITE_P(EachEnd, ForwardedConnectionClose,
                         ::testing::Values(End::LocalClient, End::RemoteService, End::BrokenChannel, End::Teardown),
                         endName);

}  // namespace
}  // namespace kl
