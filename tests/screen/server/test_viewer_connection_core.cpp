// The viewer connection without sockets: requests read from split and mixed bytes, the handshake
// by state, the activation's queued size change, the connection's end, and the busy exchange.
#include <gtest/gtest.h>

#include "screen/protocol/ScreenWireWriter.h"
#include "screen/protocol/ServerMessages.h"
#include "screen/server/ViewerConnectionCore.h"

namespace kl {
namespace {

// A 109-byte handshake (version 1.1.2) asking for width x height, carrying clientId.
Bytes handshakeBytes(uint64_t clientId, uint16_t width = 1024, uint16_t height = 768) {
    Bytes out;
    ScreenWireWriter w(out);
    w.u8(1).u8(1).u8(1).u8(2).u8(0);
    w.u32(0x80);
    for (int i = 0; i < 32; ++i) w.u16(0);
    w.u16(0).u16(0).u16(0).u16(0).u64(clientId);
    for (int i = 0; i < 8; ++i) w.u16(0);
    w.u16(width).u16(height);
    return out;
}

// Drives a core into the given state the way the server does.
ViewerConnectionCore coreIn(ScreenServerState state, bool sizeQueued = false) {
    ViewerConnectionCore core;
    core.reset();
    core.accept();
    if (state == ScreenServerState::WaitingForViewer) return core;
    core.feed(handshakeBytes(1));
    core.beginResolvingDisplayMode();
    if (state == ScreenServerState::ResolvingDisplayMode) return core;
    core.beginReconfiguring();
    if (state == ScreenServerState::Reconfiguring) return core;
    if (state == ScreenServerState::Disconnecting) {
        core.finishActivation(false);
        return core;
    }
    core.finishActivation(true);
    if (sizeQueued) {
        // A handshake during a host size change stays queued after it.
        core.beginReconfiguring();
        core.feed(handshakeBytes(1, 800, 600));
        core.endHostSizeChange();
    }
    return core;
}

TEST(ViewerConnectionCore, GreetsWithHelloOnlyForProtocolsOneAndThree) {
    for (int protocol : {0, 1, 2, 3}) {
        ViewerConnectionCore core(protocol);
        EXPECT_EQ(core.accept(), (protocol == 1 || protocol == 3) ? writeServerHello() : Bytes{}) << protocol;
    }
}

TEST(ViewerConnectionCore, ReadsRequestsAcrossSplitsAndSkipsUnknownBytes) {
    ViewerConnectionCore core;
    core.reset();
    Bytes stream = {0x99};
    Bytes handshake = handshakeBytes(0xABCD);
    stream.insert(stream.end(), handshake.begin(), handshake.end());
    Bytes heartbeat(9, 0);
    heartbeat[0] = 4;
    stream.insert(stream.end(), heartbeat.begin(), heartbeat.end());
    stream.push_back(0x20);
    stream.push_back(0x20);

    // Byte by byte, the requests come out exactly once each, in order, when their last byte arrives.
    std::vector<ViewerRequest::Kind> seen;
    for (uint8_t byte : stream)
        for (const auto& request : core.feed(std::span(&byte, 1))) seen.push_back(request.kind);
    EXPECT_EQ(seen, (std::vector<ViewerRequest::Kind>{ViewerRequest::Handshake, ViewerRequest::HeartBeat,
                                                       ViewerRequest::UpdateRequest, ViewerRequest::UpdateRequest}));
    EXPECT_EQ(core.attachedClientId(), 0xABCDu);
    EXPECT_EQ(core.pendingDisplaySize().requestedDisplaySize, (DisplaySizeRequest{1024, 768}));

    // All at once gives the same.
    ViewerConnectionCore whole;
    whole.reset();
    EXPECT_EQ(whole.feed(stream).size(), 4u);
}

TEST(ViewerConnectionCore, HandshakeActionDependsOnTheState) {
    struct Case {
        ScreenServerState state;
        bool sizeQueued;
        HandshakeAction expected;
    };
    const Case cases[] = {
        {ScreenServerState::WaitingForViewer, false, HandshakeAction::Activate},
        {ScreenServerState::ResolvingDisplayMode, false, HandshakeAction::Ignore},
        {ScreenServerState::Reconfiguring, false, HandshakeAction::ScheduleSizeChange},
        {ScreenServerState::Streaming, false, HandshakeAction::Activate},
        {ScreenServerState::Streaming, true, HandshakeAction::ScheduleSizeChange},
        {ScreenServerState::Disconnecting, false, HandshakeAction::Ignore},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.state) * 10 + c.sizeQueued);
        ViewerConnectionCore core = coreIn(c.state, c.sizeQueued);
        ASSERT_EQ(core.state(), c.state);
        auto requests = core.feed(handshakeBytes(42, 640, 480));
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].action, c.expected);
        EXPECT_EQ(core.attachedClientId(), 42u);  // kept whatever the state
        EXPECT_EQ(core.state(), c.state);         // a handshake alone never moves the state
    }
    ViewerConnectionCore stopped;  // never started
    ASSERT_EQ(stopped.state(), ScreenServerState::Stopped);
    EXPECT_EQ(stopped.feed(handshakeBytes(1))[0].action, HandshakeAction::Ignore);
}

TEST(ViewerConnectionCore, HandshakeDuringReconfigurationIsAppliedWhenStreamingBegins) {
    ViewerConnectionCore core = coreIn(ScreenServerState::Reconfiguring);
    EXPECT_EQ(core.feed(handshakeBytes(7, 800, 600))[0].action, HandshakeAction::ScheduleSizeChange);
    // A second one while queued replaces the size, and is queued too.
    EXPECT_EQ(core.feed(handshakeBytes(7, 1280, 720))[0].action, HandshakeAction::ScheduleSizeChange);
    EXPECT_TRUE(core.sizeChangeQueued());

    EXPECT_TRUE(core.finishActivation(true));
    EXPECT_EQ(core.state(), ScreenServerState::Streaming);
    EXPECT_FALSE(core.sizeChangeQueued());
    EXPECT_EQ(core.pendingDisplaySize().requestedDisplaySize, (DisplaySizeRequest{1280, 720}));
    EXPECT_FALSE(core.finishActivation(true));  // consumed once
}

TEST(ViewerConnectionCore, FailedActivationIgnoresHandshakesUntilTheConnectionEnds) {
    ViewerConnectionCore core = coreIn(ScreenServerState::Reconfiguring);
    core.feed(handshakeBytes(7));
    EXPECT_FALSE(core.finishActivation(false));  // the queued change dies with the display set
    EXPECT_EQ(core.state(), ScreenServerState::Disconnecting);
    EXPECT_EQ(core.feed(handshakeBytes(7))[0].action, HandshakeAction::Ignore);

    core.connectionEnded();
    EXPECT_EQ(core.state(), ScreenServerState::WaitingForViewer);
    EXPECT_EQ(core.attachedClientId(), 0u);
    // The next viewer is handled normally, without bytes left from the last one.
    core.accept();
    EXPECT_EQ(core.feed(handshakeBytes(9))[0].action, HandshakeAction::Activate);
}

TEST(ViewerConnectionCore, PartialBytesOfAnEndedConnectionDoNotReachTheNext) {
    ViewerConnectionCore core;
    core.reset();
    Bytes handshake = handshakeBytes(5);
    core.feed(std::span(handshake).first(50));
    core.connectionEnded();
    core.accept();
    auto requests = core.feed(Bytes{0x20});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, ViewerRequest::UpdateRequest);
}

TEST(ViewerConnectionCore, EndOfConnectionStopsTheServerForOtherProtocols) {
    ViewerConnectionCore core(2);
    core.reset();
    core.connectionEnded();
    EXPECT_EQ(core.state(), ScreenServerState::Stopped);
}

TEST(BusyExchange, OnlyAnEchoOfANonzeroIdTakesOver) {
    auto busy = startBusyExchange(0x1122334455667788);
    EXPECT_EQ(busy.busyMessage, writeServerBusy(0x1122334455667788));
    EXPECT_TRUE(busy.awaitTakeOverReply);
    EXPECT_FALSE(startBusyExchange(0).awaitTakeOverReply);

    Bytes echo;
    ScreenWireWriter(echo).u64(0x1122334455667788);
    Bytes zero(8, 0);
    struct Case {
        uint64_t attached;
        Bytes reply;
        bool takesOver;
    };
    const Case cases[] = {
        {0x1122334455667788, echo, true},
        {0x1122334455667788, Bytes(echo.begin(), echo.begin() + 7), false},  // short read
        {0x1122334455667788, zero, false},
        {0x1122334455667789, echo, false},
        {0, zero, false},  // a connected viewer without id can never be replaced
    };
    for (const auto& c : cases) EXPECT_EQ(takesOver(c.attached, c.reply), c.takesOver) << c.attached;
}

}  // namespace
}  // namespace kl
