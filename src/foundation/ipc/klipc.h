// klipc: the local IPC interface shared by the daemon (listener) and the control app (client).
//
// Plain functions with unmangled names over opaque, reference-counted objects: connections,
// dictionaries, arrays, values and queues. Every function accepts NULL objects without harm and
// answers NULL, 0, false, 0.0 or -1 (euid); arrays follow the same rule and check their indexes.
//
// Ownership: what a create function returns belongs to the caller (klipc_release). Objects handed
// to a handler are lent for the duration of the call. Getters return borrowed references that live
// as long as their container. Strings and data set into a container are copied; objects set into
// one are retained by it. A container cannot be put inside itself.
//
// Queues stand in for dispatch queues: klipc_queue_main() is the program's main loop,
// klipc_queue_global() the global pool, klipc_queue_create() a new serial queue. A connection
// created with a NULL queue delivers its events on a private serial queue of its own, one at a time
// and in order. The daemon moves all IPC work onto its main loop (kl::mainLoop()).
//
// Connections are created suspended; set a handler, then resume. An active connection keeps itself
// (and its handler) alive until it becomes invalid (kind 2), which is always its last event.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

typedef struct klipc_object_s* klipc_object_t;
typedef klipc_object_t klipc_connection_t;
typedef klipc_object_t klipc_queue_t;

typedef int32_t KLIPCMessageType;
enum : int32_t {
    KLIPC_ERROR_CONNECTION_INTERRUPTED = 1,  // the peer went away (object NULL)
    KLIPC_ERROR_CONNECTION_INVALID = 2,      // invalid or cancelled; the last event (object NULL)
    KLIPC_LISTENER_NEW_CONNECTION = 3,       // a client connected (object: the new connection)
    KLIPC_OK = 4,                            // a message or reply arrived (object: the dictionary)
};

// The event callback of a connection and the callback of a request's reply.
typedef std::function<void(KLIPCMessageType type, klipc_object_t object)> klipc_handler_t;
// Fills a reply dictionary (klipc_send_reply).
typedef std::function<void(klipc_object_t reply)> klipc_reply_filler_t;
typedef std::function<void()> klipc_block_t;
typedef void (*klipc_finalizer_t)(void* context);

extern "C" {

// Queues.
klipc_queue_t klipc_queue_main(void);
klipc_queue_t klipc_queue_global(void);
klipc_queue_t klipc_queue_create(const char* label);

// Connections. The service name is that of a socket in the services folder (see IPCEndpoint.h);
// NULL, empty, or a name that cannot be a file name gives NULL.
klipc_connection_t klipc_connection_create_listener(const char* name, klipc_queue_t queue);
// privileged asks for the system-wide service (the only kind there is here); it is kept for the
// connection's description.
klipc_connection_t klipc_connection_create_client(const char* name, klipc_queue_t queue, bool privileged);
void klipc_connection_set_event_handler(klipc_connection_t connection, klipc_handler_t handler);
void klipc_connection_resume(klipc_connection_t connection);
void klipc_connection_cancel(klipc_connection_t connection);
void klipc_connection_send_message(klipc_connection_t connection, klipc_object_t message);
void klipc_connection_send_message_with_reply(klipc_connection_t connection, klipc_object_t message,
                                              klipc_queue_t replyQueue, klipc_handler_t handler);
void klipc_connection_send_barrier(klipc_connection_t connection, klipc_block_t barrier);
uid_t klipc_connection_get_euid(klipc_connection_t connection);
pid_t klipc_connection_get_pid(klipc_connection_t connection);
void klipc_connection_set_context(klipc_connection_t connection, void* context);
void* klipc_connection_get_context(klipc_connection_t connection);
void klipc_connection_set_finalizer_f(klipc_connection_t connection, klipc_finalizer_t finalizer);

// Objects.
klipc_object_t klipc_retain(klipc_object_t object);
void klipc_release(klipc_object_t object);
// malloc'ed text; free() it.
char* klipc_copy_description(klipc_object_t object);
bool klipc_object_is_dict(klipc_object_t object);
bool klipc_object_is_array(klipc_object_t object);

// Dictionaries.
klipc_object_t klipc_dictionary_create(void);
void klipc_dictionary_set_int64(klipc_object_t dictionary, const char* key, int64_t value);
void klipc_dictionary_set_uint64(klipc_object_t dictionary, const char* key, uint64_t value);
void klipc_dictionary_set_bool(klipc_object_t dictionary, const char* key, bool value);
void klipc_dictionary_set_double(klipc_object_t dictionary, const char* key, double value);
void klipc_dictionary_set_string(klipc_object_t dictionary, const char* key, const char* value);
void klipc_dictionary_set_data(klipc_object_t dictionary, const char* key, const void* bytes, size_t length);
// A NULL value removes the key.
void klipc_dictionary_set_value(klipc_object_t dictionary, const char* key, klipc_object_t value);
int64_t klipc_dictionary_get_int64(klipc_object_t dictionary, const char* key);
uint64_t klipc_dictionary_get_uint64(klipc_object_t dictionary, const char* key);
bool klipc_dictionary_get_bool(klipc_object_t dictionary, const char* key);
double klipc_dictionary_get_double(klipc_object_t dictionary, const char* key);
const char* klipc_dictionary_get_string(klipc_object_t dictionary, const char* key);
const void* klipc_dictionary_get_data(klipc_object_t dictionary, const char* key, size_t* length);
klipc_object_t klipc_dictionary_get_value(klipc_object_t dictionary, const char* key);

// Replies.
klipc_object_t klipc_dictionary_create_reply(klipc_object_t message);
klipc_connection_t klipc_dictionary_get_remote_connection(klipc_object_t message);
bool klipc_send_reply(klipc_object_t message, klipc_reply_filler_t filler);

// Arrays. Out-of-range indexes read as 0 or NULL.
klipc_object_t klipc_array_create(void);
void klipc_array_append_int64(klipc_object_t array, int64_t value);
void klipc_array_append_uint64(klipc_object_t array, uint64_t value);
void klipc_array_append_data(klipc_object_t array, const void* bytes, size_t length);
void klipc_array_append_value(klipc_object_t array, klipc_object_t value);
size_t klipc_array_get_count(klipc_object_t array);
int64_t klipc_array_get_int64(klipc_object_t array, size_t index);
uint64_t klipc_array_get_uint64(klipc_object_t array, size_t index);
const void* klipc_array_get_data(klipc_object_t array, size_t index, size_t* length);
klipc_object_t klipc_array_get_value(klipc_object_t array, size_t index);

}  // extern "C"
