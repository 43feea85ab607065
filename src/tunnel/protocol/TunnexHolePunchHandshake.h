// What one hole-punch datagram of the attempt under way makes this side do, decided in one place
// for both ways datagrams arrive: on the handoff socket (read by the peer's dispatcher) and on the
// fresh sockets of a punch round (read by their confirmation waits). Free of I/O: the caller has
// made sure the datagram is a record of this attempt from an address its invitation named, and
// carries out the decision (reply, completion) itself.
//
// The handshake: each side answers an AHOY (the originator with an AHOY, the responder with a
// CONFIRM); the originator answers the first CONFIRM with an ACCEPT and connects its transport;
// the responder connects on the ACCEPT, or on the originator's transport handshake arriving from
// the endpoint it confirmed (standing in for an ACCEPT the network lost). Once a completion has
// started, datagrams on the handoff socket move nothing: the completion connects toward the
// address that settled the handshake.
#pragma once

namespace kl {

enum class TunnexHolePunchWord { Ahoy, Confirm, Accept, TransportHandshake };
enum class TunnexHolePunchPath { Handoff, Fresh };

struct TunnexHolePunchFacts {
    bool originator = false;
    bool completionStarted = false;
    // A CONFIRM of this attempt was taken before on the handoff socket.
    bool confirmedBefore = false;
    // The originator has been confirmed and waits for nothing but its transport.
    bool waitingForAcceptance = false;
    // A transport handshake came from the endpoint this side confirmed.
    bool fromConfirmedEndpoint = false;
};

struct TunnexHolePunchDecision {
    enum class Reply { None, Ahoy, Confirm, Accept };
    Reply reply = Reply::None;
    bool markWaitingForAcceptance = false;
    bool complete = false;  // start the completion toward the sender
    bool endsWait = false;  // a fresh socket's confirmation wait is over
    const char* ignored = nullptr;  // why the datagram moves nothing (for the log)
};

TunnexHolePunchDecision decideTunnexHolePunch(TunnexHolePunchWord word, TunnexHolePunchPath path,
                                              const TunnexHolePunchFacts& facts);

}  // namespace kl
