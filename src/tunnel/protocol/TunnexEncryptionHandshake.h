// The key exchange of one main channel as a state machine, free of I/O and of the key material:
// fed the remote's messages (and whether each key computation succeeded), it says what this side
// sends next and when the tunnel is up or has failed. The peer does the sending and the
// computing; this decides, in one place, whether encryption is used and in which order the steps
// go.
//
// The exchange is symmetric: each side states its wish first; encryption is used exactly when
// both want it; then each sends its public value, acknowledges the other's once agreed on it,
// sends its wrapped content key once its own value is acknowledged, and is up when it has
// unwrapped the other's key. Main-channel messages are not held to send order, so an
// acknowledgement may arrive before the remote's public value: the wrapped key then goes out as
// soon as this side has agreed.
#pragma once

#include <vector>

namespace kl {

class TunnexEncryptionHandshake {
public:
    enum class Step {
        SendPublicKey,     // this side's public value
        SendAcknowledgement,
        SendWrappedKey,    // this side's content key wrapped under the agreed key
        Connected,         // the tunnel is up (encrypted or not, see usingEncryption)
        Failed,            // no key can be agreed or unwrapped: the attempt ends
        Ignored,           // the message has no place in this exchange (logged by the caller)
    };
    using Steps = std::vector<Step>;

    explicit TunnexEncryptionHandshake(bool wantEncryption) : want_(wantEncryption) {}

    bool wantEncryption() const { return want_; }
    bool usingEncryption() const { return using_; }
    bool connected() const { return phase_ == Phase::Up; }
    // Whether a key message of the remote is to be computed on at all: while encryption may still
    // be agreed. A plain tunnel, one that is up and a failed exchange take none (a key believed
    // then would serve nothing but a forger). A repeated public value is not computed again.
    bool takesPublicKey() const { return takesKeyMessages() && !agreed_; }
    bool takesWrappedKey() const { return takesKeyMessages(); }

    Steps remoteWillEncrypt();
    Steps remoteWontEncrypt();
    // The remote's public value was read; agreed: a key was agreed from it.
    Steps remotePublicKey(bool agreed);
    Steps remoteAcknowledged();
    // The remote's wrapped key was read; unwrapped: it was unwrapped and authenticated.
    Steps remoteWrappedKey(bool unwrapped);

private:
    enum class Phase { Deciding, Exchanging, Unencrypted, Up, Failed };

    bool takesKeyMessages() const { return want_ && (phase_ == Phase::Deciding || phase_ == Phase::Exchanging); }

    bool want_;
    bool using_ = false;
    Phase phase_ = Phase::Deciding;
    bool agreed_ = false;
    bool acknowledgedEarly_ = false;  // the remote acknowledged this side's value before agreement
};

}  // namespace kl
