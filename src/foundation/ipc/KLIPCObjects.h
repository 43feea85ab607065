// The objects behind klipc_object_t: an intrusive, atomically counted base and one subclass per
// kind, plus the conversions between dictionaries and kl::Value (what the transport carries).
// Internal to the klipc implementation and its tests.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/ipc/IPCConnection.h"
#include "foundation/ipc/IPCQueue.h"
#include "foundation/ipc/klipc.h"
#include "platform/Value.h"

struct klipc_object_s {
    enum class Kind { Null, Bool, Int64, UInt64, Double, Date, String, Data, Array, Dictionary, Connection, Error, Queue };

    explicit klipc_object_s(Kind k) : kind(k) {}
    virtual ~klipc_object_s() = default;
    klipc_object_s(const klipc_object_s&) = delete;
    klipc_object_s& operator=(const klipc_object_s&) = delete;

    const Kind kind;
    std::atomic<int64_t> references{1};
    bool immortal = false;  // process-wide objects (main and global queue, error objects)
};

namespace kl::ipc {

// A counted reference to a klipc object.
class ObjectRef {
public:
    ObjectRef() = default;
    // Takes over a reference the caller owns (a create result).
    static ObjectRef adopt(klipc_object_t object) {
        ObjectRef ref;
        ref.object_ = object;
        return ref;
    }
    // Takes a new reference.
    static ObjectRef retain(klipc_object_t object) { return adopt(klipc_retain(object)); }
    ObjectRef(const ObjectRef& other) : object_(klipc_retain(other.object_)) {}
    ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ObjectRef& operator=(ObjectRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ObjectRef() { klipc_release(object_); }

    klipc_object_t get() const { return object_; }
    // Hands the reference to the caller.
    klipc_object_t release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    klipc_object_t object_ = nullptr;
};

struct ScalarObject : klipc_object_s {
    ScalarObject(Kind k, Value v) : klipc_object_s(k), value(std::move(v)) {}
    Value value;  // Null, Bool, Int, UInt, Double or Date, matching kind
};

struct StringObject : klipc_object_s {
    explicit StringObject(std::string s) : klipc_object_s(Kind::String), text(std::move(s)) {}
    std::string text;
};

struct DataObject : klipc_object_s {
    explicit DataObject(Bytes b) : klipc_object_s(Kind::Data), bytes(std::move(b)) {}
    Bytes bytes;
};

struct ArrayObject : klipc_object_s {
    ArrayObject() : klipc_object_s(Kind::Array) {}
    std::vector<ObjectRef> elements;
};

struct ConnectionObject;

struct DictionaryObject : klipc_object_s {
    DictionaryObject() : klipc_object_s(Kind::Dictionary) {}

    klipc_object_t find(const std::string& key) const;
    void set(const std::string& key, ObjectRef value);
    void erase(const std::string& key);

    std::vector<std::pair<std::string, ObjectRef>> entries;  // in insertion order
    std::unordered_map<std::string, size_t> index;           // key -> position in entries

    // A received message: the connection it came on and, for a request, what a reply needs.
    ObjectRef remoteConnection;
    uint64_t sessionId = 0;
    uint64_t requestId = 0;
    // A reply made by klipc_dictionary_create_reply: sent as the answer to requestId.
    bool isReply = false;
    bool replySent = false;
};

struct ConnectionObject : klipc_object_s {
    explicit ConnectionObject(std::shared_ptr<IPCConnection> e) : klipc_object_s(Kind::Connection), engine(std::move(e)) {}
    ~ConnectionObject() override;

    std::shared_ptr<IPCConnection> engine;
    std::atomic<void*> context{nullptr};
    std::atomic<klipc_finalizer_t> finalizer{nullptr};
};

struct ErrorObject : klipc_object_s {
    ErrorObject(int32_t c, std::string d) : klipc_object_s(Kind::Error), code(c), description(std::move(d)) {}
    int32_t code;  // KLIPC_ERROR_CONNECTION_INTERRUPTED or _INVALID; anything else is unknown
    std::string description;
};

struct QueueObject : klipc_object_s {
    explicit QueueObject(std::shared_ptr<IPCQueue> q) : klipc_object_s(Kind::Queue), queue(std::move(q)) {}
    std::shared_ptr<IPCQueue> queue;
};

template <class T>
T* objectAs(klipc_object_t object, klipc_object_s::Kind kind) {
    return object && object->kind == kind ? static_cast<T*>(object) : nullptr;
}
inline DictionaryObject* asDictionary(klipc_object_t o) { return objectAs<DictionaryObject>(o, klipc_object_s::Kind::Dictionary); }
inline ArrayObject* asArray(klipc_object_t o) { return objectAs<ArrayObject>(o, klipc_object_s::Kind::Array); }
inline ConnectionObject* asConnection(klipc_object_t o) { return objectAs<ConnectionObject>(o, klipc_object_s::Kind::Connection); }
inline QueueObject* asQueue(klipc_object_t o) { return objectAs<QueueObject>(o, klipc_object_s::Kind::Queue); }

// The process-wide error objects of kinds 1 and 2.
klipc_object_t interruptedErrorObject();
klipc_object_t invalidErrorObject();

// A new object holding value (dictionaries and arrays recursively).
ObjectRef objectFromValue(const Value& value);
// The value of object for the wire; false when it holds something the wire cannot carry or nests
// deeper than the wire allows.
bool valueFromObject(klipc_object_t object, Value& out, unsigned depth = 0);

// Hands an event object to handler as the connection handler (allowConnections) or a reply
// handler would: error objects of kinds 1 and 2, a connection as kind 3 (connection handlers
// only), a dictionary as kind 4; anything else is logged as "Unknown XPC type: %s" and dropped.
void deliverEvent(const klipc_handler_t& handler, klipc_object_t object, bool allowConnections);

}  // namespace kl::ipc
