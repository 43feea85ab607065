// TunnexChannelTable: the data channels and stream-forward listeners of one tunnel.
//
// A data channel is entered under the key text of its hash; once a local connection is joined to
// it (under the shared hash) the entry holds the forwarded connection that owns both. A channel
// this side opened before its owner was decided is also kept under a key the remote does not know.
// A stream forward's listener is kept under its service key. Any thread; the table's own plain
// lock guards all of it and is held only around its reads and writes: nothing is closed or
// released under it (entries taken out are handed to the caller).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kl {

class TunnexSocket;
class TunnexSocketImpl;
class TunnexForwardedConnection;
class PFwdPrivate;

class TunnexChannelTable {
public:
    struct Entry {
        std::shared_ptr<TunnexSocketImpl> channel;
        std::shared_ptr<TunnexForwardedConnection> connection;
    };
    // A stream forward's listening socket: the holder whose localSocket it is, and the record that
    // owns it in the core.
    struct Listener {
        std::shared_ptr<TunnexSocketImpl> holder;
        std::shared_ptr<PFwdPrivate> record;
    };
    using Entries = std::map<std::string, Entry>;

    // --- channels ---

    // Enters connection (and its channel) under the key of hash. True when the remote's close
    // notice for that hash came first.
    bool enterConnection(uint32_t hash, const std::shared_ptr<TunnexForwardedConnection>& connection);
    // Enters a channel whose owner is not decided yet under a key only this side knows.
    void enterLocalOnly(const std::string& key, const std::shared_ptr<TunnexSocketImpl>& channel);
    std::shared_ptr<TunnexSocketImpl> channelForHash(uint32_t hash) const;
    // The channel under the key of hash; without one, the notice is kept for enterConnection.
    std::shared_ptr<TunnexSocketImpl> channelForHashOrKeepCloseNotice(uint32_t hash);
    size_t keyCount() const;
    // The forwarded connections in the table, each once.
    std::vector<std::shared_ptr<TunnexForwardedConnection>> connections() const;
    // Every key channel is entered under, and among them the one the remote knows, if any.
    struct Keys {
        std::vector<std::string> all;
        std::optional<std::string> shared;
    };
    Keys keysOf(const std::shared_ptr<TunnexSocket>& channel) const;
    // Takes the entries under keys out; the caller lets them go outside the lock.
    std::vector<Entry> remove(const std::vector<std::string>& keys);

    // --- stream-forward listeners ---

    // Keeps listener under key; the listener it replaces, if any, is the caller's to close.
    std::optional<Listener> replaceListener(const std::string& key, Listener listener);
    // Takes the listener under key out, one the teardown still has to close included; the caller
    // closes it.
    std::optional<Listener> takeListener(const std::string& key);
    // Listeners in service (not those the teardown is closing).
    size_t listenerCount() const;

    // --- teardown ---

    // Takes every channel out and forgets the close notices; with closeListeners, every listener
    // leaves service and waits for takeClosingListener (until then takeListener still finds it).
    Entries takeForTeardown(bool closeListeners);
    // One listener the teardown is to close, with its key; empty when none is left.
    std::optional<std::pair<std::string, Listener>> takeClosingListener();

private:
    mutable std::mutex mutex_;
    Entries channels_;                              // guarded by mutex_
    std::set<std::string> localOnlyKeys_;           // guarded by mutex_: keys the remote does not know
    std::deque<uint32_t> earlyCloseNotices_;        // guarded by mutex_: close notices before their entry
    std::map<std::string, Listener> listeners_;     // guarded by mutex_
    // Guarded by mutex_: listeners that left service at the teardown and are still to be closed.
    std::multimap<std::string, Listener> closingListeners_;
};

}  // namespace kl
