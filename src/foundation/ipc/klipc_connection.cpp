// Queues, connections, event delivery and replies of klipc, over the IPCConnection engine.
#include "foundation/KLTLogging.h"
#include "foundation/ipc/KLIPCObjects.h"

using namespace kl::ipc;

namespace {

std::shared_ptr<IPCQueue> queueOf(klipc_queue_t queue) {
    auto* q = asQueue(queue);
    return q ? q->queue : nullptr;
}

klipc_object_t immortalQueue(std::shared_ptr<IPCQueue> queue) {
    auto* object = new QueueObject(std::move(queue));
    object->immortal = true;
    return object;
}

bool usableName(const char* name) {
    if (!name || !*name) return false;
    if (!isValidServiceName(name)) {
        KLLog(kKLTLoggingLevelError, "klipc: \"%s\" cannot name a local service", name);
        return false;
    }
    return true;
}

// A received dictionary bound to the connection it came on.
ObjectRef messageObject(ReceivedMessage& message, const ObjectRef& connection) {
    ObjectRef object = objectFromValue(message.body);
    if (auto* dict = asDictionary(object.get())) {
        dict->remoteConnection = connection;
        dict->sessionId = message.sessionId;
        dict->requestId = message.requestId;
    }
    return object;
}

ObjectRef eventObject(IPCEvent& event, const ObjectRef& self) {
    switch (event.kind) {
    case EventKind::Interrupted: return ObjectRef::adopt(interruptedErrorObject());
    case EventKind::Invalid: return ObjectRef::adopt(invalidErrorObject());
    case EventKind::NewConnection: return ObjectRef::adopt(new ConnectionObject(std::move(event.connection)));
    case EventKind::Message: return messageObject(event.message, self);
    }
    return {};
}

}  // namespace

extern "C" {

klipc_queue_t klipc_queue_main(void) {
    static klipc_queue_t queue = immortalQueue(mainIPCQueue());
    return queue;
}

klipc_queue_t klipc_queue_global(void) {
    static klipc_queue_t queue = immortalQueue(globalIPCQueue());
    return queue;
}

klipc_queue_t klipc_queue_create(const char* label) { return new QueueObject(makeSerialIPCQueue(label ? label : "")); }

klipc_connection_t klipc_connection_create_listener(const char* name, klipc_queue_t queue) {
    if (!usableName(name)) return nullptr;
    return new ConnectionObject(IPCConnection::listener(name, queueOf(queue)));
}

klipc_connection_t klipc_connection_create_client(const char* name, klipc_queue_t queue, bool privileged) {
    if (!usableName(name)) return nullptr;
    return new ConnectionObject(IPCConnection::client(name, queueOf(queue), privileged));
}

void klipc_connection_set_event_handler(klipc_connection_t connection, klipc_handler_t handler) {
    auto* c = asConnection(connection);
    if (!c || !handler) return;
    // The engine keeps this closure until the connection becomes invalid, and the closure keeps
    // the connection object: an active connection stays alive even when its creator lets go.
    ObjectRef self = ObjectRef::retain(connection);
    c->engine->setEventHandler([self, handler = std::move(handler)](IPCEvent& event) {
        ObjectRef object = eventObject(event, self);
        deliverEvent(handler, object.get(), true);
    });
}

void klipc_connection_resume(klipc_connection_t connection) {
    if (auto* c = asConnection(connection)) c->engine->resume();
}

void klipc_connection_cancel(klipc_connection_t connection) {
    if (auto* c = asConnection(connection)) c->engine->cancel();
}

void klipc_connection_send_message(klipc_connection_t connection, klipc_object_t message) {
    auto* c = asConnection(connection);
    auto* dict = asDictionary(message);
    if (!c || !dict) return;
    kl::Value body;
    if (!valueFromObject(message, body)) {
        KLLog(kKLTLoggingLevelError, "klipc: message not sent: it nests deeper than the limit");
        return;
    }
    if (!dict->isReply) {
        c->engine->send(body);
        return;
    }
    if (dict->remoteConnection.get() != connection) {
        KLLog(kKLTLoggingLevelError, "klipc: reply not sent: it belongs to another connection");
        return;
    }
    if (dict->replySent) {
        KLLog(kKLTLoggingLevelError, "klipc: reply not sent: it has been sent already");
        return;
    }
    dict->replySent = true;
    c->engine->sendReply(dict->sessionId, dict->requestId, body);
}

void klipc_connection_send_message_with_reply(klipc_connection_t connection, klipc_object_t message,
                                              klipc_queue_t replyQueue, klipc_handler_t handler) {
    auto* c = asConnection(connection);
    auto* dict = asDictionary(message);
    auto queue = queueOf(replyQueue);
    if (!c || !dict || !queue || !handler) return;
    kl::Value body;
    bool encodable = valueFromObject(message, body);
    if (!encodable) KLLog(kKLTLoggingLevelError, "klipc: message not sent: it nests deeper than the limit");
    ObjectRef self = ObjectRef::retain(connection);
    ReplyHandler onReply = [self, handler = std::move(handler)](EventKind kind, ReceivedMessage* reply) {
        ObjectRef object = kind == EventKind::Message    ? messageObject(*reply, self)
                           : kind == EventKind::Interrupted ? ObjectRef::adopt(interruptedErrorObject())
                                                            : ObjectRef::adopt(invalidErrorObject());
        deliverEvent(handler, object.get(), false);
    };
    if (!encodable) {
        // Still answered once, so the caller is not left waiting.
        queue->async([onReply = std::move(onReply)] { onReply(EventKind::Invalid, nullptr); });
        return;
    }
    c->engine->sendWithReply(body, std::move(queue), std::move(onReply));
}

void klipc_connection_send_barrier(klipc_connection_t connection, klipc_block_t barrier) {
    auto* c = asConnection(connection);
    if (!c || !barrier) return;
    c->engine->sendBarrier(std::move(barrier));
}

uid_t klipc_connection_get_euid(klipc_connection_t connection) {
    auto* c = asConnection(connection);
    auto peer = c ? c->engine->peer() : std::nullopt;
    return peer ? peer->euid : uid_t(-1);
}

pid_t klipc_connection_get_pid(klipc_connection_t connection) {
    auto* c = asConnection(connection);
    auto peer = c ? c->engine->peer() : std::nullopt;
    return peer ? peer->pid : 0;
}

void klipc_connection_set_context(klipc_connection_t connection, void* context) {
    if (auto* c = asConnection(connection)) c->context.store(context);
}

void* klipc_connection_get_context(klipc_connection_t connection) {
    auto* c = asConnection(connection);
    return c ? c->context.load() : nullptr;
}

void klipc_connection_set_finalizer_f(klipc_connection_t connection, klipc_finalizer_t finalizer) {
    if (auto* c = asConnection(connection)) c->finalizer.store(finalizer);
}

klipc_object_t klipc_dictionary_create_reply(klipc_object_t message) {
    auto* request = asDictionary(message);
    if (!request || request->requestId == 0 || !request->remoteConnection || request->isReply) return nullptr;
    auto* reply = new DictionaryObject();
    reply->remoteConnection = request->remoteConnection;
    reply->sessionId = request->sessionId;
    reply->requestId = request->requestId;
    reply->isReply = true;
    return reply;
}

klipc_connection_t klipc_dictionary_get_remote_connection(klipc_object_t message) {
    auto* dict = asDictionary(message);
    return dict ? dict->remoteConnection.get() : nullptr;
}

bool klipc_send_reply(klipc_object_t message, klipc_reply_filler_t filler) {
    klipc_connection_t connection = klipc_dictionary_get_remote_connection(message);
    if (!connection || !filler) return false;
    ObjectRef reply = ObjectRef::adopt(klipc_dictionary_create_reply(message));
    if (!reply) return false;
    filler(reply.get());
    klipc_connection_send_message(connection, reply.get());
    return true;
}

}  // extern "C"
