// klipc objects without a peer: the NULL rules of every function, typed dictionaries, NULL-safe
// and bounds-checked arrays, ownership, event classification and the name tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "foundation/KLTLogging.h"
#include "foundation/ipc/IPCNameTables.h"
#include "foundation/ipc/KLIPCObjects.h"
#include "foundation/ipc/klipc.h"

namespace {

using Object = kl::ipc::ObjectRef;

Object dictionary() { return Object::adopt(klipc_dictionary_create()); }
Object array() { return Object::adopt(klipc_array_create()); }

// Every function given NULL for its connection, dictionary or array (or a NULL block) does nothing
// and answers its neutral value; no handler or block is ever called.
TEST(KLIPCObjects, NullRulesOfEveryFunction) {
    bool called = false;
    klipc_handler_t handler = [&](KLIPCMessageType, klipc_object_t) { called = true; };
    Object dict = dictionary();
    size_t length = 99;

    struct Check {
        const char* name;
        std::function<bool()> holds;
    };
    const Check checks[] = {
        {"create_listener NULL", [] { return klipc_connection_create_listener(nullptr, nullptr) == nullptr; }},
        {"create_listener empty", [] { return klipc_connection_create_listener("", nullptr) == nullptr; }},
        {"create_listener path", [] { return klipc_connection_create_listener("../x", nullptr) == nullptr; }},
        {"create_listener dot-dot", [] { return klipc_connection_create_listener("..", nullptr) == nullptr; }},
        {"create_client NULL", [] { return klipc_connection_create_client(nullptr, nullptr, true) == nullptr; }},
        {"create_client empty", [] { return klipc_connection_create_client("", nullptr, false) == nullptr; }},
        {"set_event_handler", [&] { klipc_connection_set_event_handler(nullptr, handler); return true; }},
        {"resume", [] { klipc_connection_resume(nullptr); return true; }},
        {"cancel", [] { klipc_connection_cancel(nullptr); return true; }},
        {"send_message NULL connection", [&] { klipc_connection_send_message(nullptr, dict.get()); return true; }},
        {"send_message_with_reply NULL connection",
         [&] { klipc_connection_send_message_with_reply(nullptr, dict.get(), klipc_queue_main(), handler); return true; }},
        {"send_barrier", [&] { klipc_connection_send_barrier(nullptr, [&] { called = true; }); return true; }},
        {"get_euid", [] { return klipc_connection_get_euid(nullptr) == uid_t(-1); }},
        {"get_pid", [] { return klipc_connection_get_pid(nullptr) == 0; }},
        {"set_context", [] { klipc_connection_set_context(nullptr, (void*)1); return true; }},
        {"get_context", [] { return klipc_connection_get_context(nullptr) == nullptr; }},
        {"set_finalizer_f", [] { klipc_connection_set_finalizer_f(nullptr, [](void*) { std::abort(); }); return true; }},
        {"retain", [] { return klipc_retain(nullptr) == nullptr; }},
        {"release", [] { klipc_release(nullptr); return true; }},
        {"copy_description", [] { return klipc_copy_description(nullptr) == nullptr; }},
        {"is_dict", [] { return !klipc_object_is_dict(nullptr); }},
        {"is_array", [] { return !klipc_object_is_array(nullptr); }},
        {"set_int64", [] { klipc_dictionary_set_int64(nullptr, "k", 1); return true; }},
        {"set_uint64", [] { klipc_dictionary_set_uint64(nullptr, "k", 1); return true; }},
        {"set_bool", [] { klipc_dictionary_set_bool(nullptr, "k", true); return true; }},
        {"set_double", [] { klipc_dictionary_set_double(nullptr, "k", 1); return true; }},
        {"set_string", [] { klipc_dictionary_set_string(nullptr, "k", "v"); return true; }},
        {"set_data", [] { klipc_dictionary_set_data(nullptr, "k", "v", 1); return true; }},
        {"set_value", [&] { klipc_dictionary_set_value(nullptr, "k", dict.get()); return true; }},
        {"get_int64", [] { return klipc_dictionary_get_int64(nullptr, "k") == 0; }},
        {"get_uint64", [] { return klipc_dictionary_get_uint64(nullptr, "k") == 0; }},
        {"get_bool", [] { return !klipc_dictionary_get_bool(nullptr, "k"); }},
        {"get_double", [] { return klipc_dictionary_get_double(nullptr, "k") == 0.0; }},
        {"get_string", [] { return klipc_dictionary_get_string(nullptr, "k") == nullptr; }},
        {"get_data", [&] { return klipc_dictionary_get_data(nullptr, "k", &length) == nullptr && length == 0; }},
        {"get_value", [] { return klipc_dictionary_get_value(nullptr, "k") == nullptr; }},
        {"create_reply", [] { return klipc_dictionary_create_reply(nullptr) == nullptr; }},
        {"get_remote_connection", [] { return klipc_dictionary_get_remote_connection(nullptr) == nullptr; }},
        {"send_reply", [&] { return !klipc_send_reply(nullptr, [&](klipc_object_t) { called = true; }); }},
        {"array_append_int64", [] { klipc_array_append_int64(nullptr, 1); return true; }},
        {"array_append_uint64", [] { klipc_array_append_uint64(nullptr, 1); return true; }},
        {"array_append_data", [] { klipc_array_append_data(nullptr, "v", 1); return true; }},
        {"array_append_value", [&] { klipc_array_append_value(nullptr, dict.get()); return true; }},
        {"array_get_count", [] { return klipc_array_get_count(nullptr) == 0; }},
        {"array_get_int64", [] { return klipc_array_get_int64(nullptr, 0) == 0; }},
        {"array_get_uint64", [] { return klipc_array_get_uint64(nullptr, 0) == 0; }},
        {"array_get_data", [&] { return klipc_array_get_data(nullptr, 0, &length) == nullptr && length == 0; }},
        {"array_get_value", [] { return klipc_array_get_value(nullptr, 0) == nullptr; }},
        // NULL keys, values and blocks on real objects.
        {"set with NULL key", [&] { klipc_dictionary_set_int64(dict.get(), nullptr, 1); return klipc_dictionary_get_int64(dict.get(), nullptr) == 0; }},
        {"set_string NULL value", [&] { klipc_dictionary_set_string(dict.get(), "s", nullptr); return klipc_dictionary_get_value(dict.get(), "s") == nullptr; }},
        {"set_data NULL bytes", [&] { klipc_dictionary_set_data(dict.get(), "d", nullptr, 4); return klipc_dictionary_get_value(dict.get(), "d") == nullptr; }},
        {"append_value NULL", [] { Object a = array(); klipc_array_append_value(a.get(), nullptr); return klipc_array_get_count(a.get()) == 0; }},
        {"send_reply NULL filler", [&] { return !klipc_send_reply(dict.get(), nullptr); }},
    };
    for (const auto& check : checks) EXPECT_TRUE(check.holds()) << check.name;

    // A connection exists but the other argument is missing.
    Object client = Object::adopt(klipc_connection_create_client("com.kelvaro.test.null-rules", nullptr, true));
    ASSERT_TRUE(client);
    klipc_connection_set_event_handler(client.get(), nullptr);
    klipc_connection_send_message(client.get(), nullptr);
    klipc_connection_send_message_with_reply(client.get(), nullptr, klipc_queue_main(), handler);
    klipc_connection_send_message_with_reply(client.get(), dict.get(), nullptr, handler);
    klipc_connection_send_message_with_reply(client.get(), dict.get(), klipc_queue_main(), nullptr);
    klipc_connection_send_barrier(client.get(), nullptr);
    // Objects of the wrong kind are ignored like NULL.
    klipc_dictionary_set_int64(client.get(), "k", 1);
    klipc_array_append_int64(dict.get(), 1);
    EXPECT_EQ(klipc_array_get_count(dict.get()), 0u);
    EXPECT_EQ(klipc_dictionary_get_int64(client.get(), "k"), 0);
    klipc_connection_resume(dict.get());
    kl::mainLoop().runUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_FALSE(called);
}

TEST(KLIPCObjects, DictionaryValuesKeepTheirExactType) {
    Object d = dictionary();
    klipc_dictionary_set_int64(d.get(), "int", -7);
    klipc_dictionary_set_uint64(d.get(), "uint", UINT64_MAX);
    klipc_dictionary_set_bool(d.get(), "bool", true);
    klipc_dictionary_set_double(d.get(), "double", 2.5);
    EXPECT_EQ(klipc_dictionary_get_int64(d.get(), "int"), -7);
    EXPECT_EQ(klipc_dictionary_get_uint64(d.get(), "uint"), UINT64_MAX);
    EXPECT_TRUE(klipc_dictionary_get_bool(d.get(), "bool"));
    EXPECT_EQ(klipc_dictionary_get_double(d.get(), "double"), 2.5);
    // Another type, or a missing key, reads as the neutral value.
    EXPECT_EQ(klipc_dictionary_get_uint64(d.get(), "int"), 0u);
    EXPECT_EQ(klipc_dictionary_get_int64(d.get(), "uint"), 0);
    EXPECT_EQ(klipc_dictionary_get_double(d.get(), "int"), 0.0);
    EXPECT_FALSE(klipc_dictionary_get_bool(d.get(), "int"));
    EXPECT_EQ(klipc_dictionary_get_string(d.get(), "int"), nullptr);
    EXPECT_EQ(klipc_dictionary_get_int64(d.get(), "missing"), 0);
    EXPECT_EQ(klipc_dictionary_get_value(d.get(), "missing"), nullptr);
    // Scalars are objects too.
    EXPECT_NE(klipc_dictionary_get_value(d.get(), "int"), nullptr);
    EXPECT_FALSE(klipc_object_is_dict(klipc_dictionary_get_value(d.get(), "int")));
    // Setting again replaces the value in place.
    klipc_dictionary_set_string(d.get(), "int", "now a string");
    EXPECT_STREQ(klipc_dictionary_get_string(d.get(), "int"), "now a string");
    EXPECT_EQ(klipc_dictionary_get_int64(d.get(), "int"), 0);
}

TEST(KLIPCObjects, StringsAndDataAreCopiedAndBorrowedBack) {
    Object d = dictionary();
    char text[] = "email@example.org";
    uint8_t bytes[] = {1, 2, 3};
    klipc_dictionary_set_string(d.get(), "email", text);
    klipc_dictionary_set_data(d.get(), "data", bytes, sizeof bytes);
    klipc_dictionary_set_data(d.get(), "empty", nullptr, 0);
    text[0] = 'X';
    bytes[0] = 9;
    EXPECT_STREQ(klipc_dictionary_get_string(d.get(), "email"), "email@example.org");
    size_t length = 0;
    auto* data = static_cast<const uint8_t*>(klipc_dictionary_get_data(d.get(), "data", &length));
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(data[0], 1);
    // Empty data is present (non-NULL) with length 0; a string is not data.
    EXPECT_NE(klipc_dictionary_get_data(d.get(), "empty", &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(klipc_dictionary_get_data(d.get(), "email", &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_NE(klipc_dictionary_get_data(d.get(), "data", nullptr), nullptr);  // length is optional
}

TEST(KLIPCObjects, ArraysAreNullSafeAndBoundsChecked) {
    Object a = array();
    klipc_array_append_int64(a.get(), -1);
    klipc_array_append_uint64(a.get(), 2);
    klipc_array_append_data(a.get(), "xyz", 3);
    {
        Object host = dictionary();
        klipc_dictionary_set_string(host.get(), "uuid", "A");
        klipc_array_append_value(a.get(), host.get());
    }  // the array keeps its own reference
    ASSERT_EQ(klipc_array_get_count(a.get()), 4u);
    EXPECT_EQ(klipc_array_get_int64(a.get(), 0), -1);
    EXPECT_EQ(klipc_array_get_uint64(a.get(), 1), 2u);
    EXPECT_EQ(klipc_array_get_uint64(a.get(), 0), 0u);  // exact types here too
    size_t length = 0;
    EXPECT_EQ(std::memcmp(klipc_array_get_data(a.get(), 2, &length), "xyz", 3), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(klipc_dictionary_get_string(klipc_array_get_value(a.get(), 3), "uuid"), "A");
    for (size_t index : {size_t(4), size_t(1000), SIZE_MAX}) {
        EXPECT_EQ(klipc_array_get_int64(a.get(), index), 0);
        EXPECT_EQ(klipc_array_get_uint64(a.get(), index), 0u);
        EXPECT_EQ(klipc_array_get_data(a.get(), index, &length), nullptr);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(klipc_array_get_value(a.get(), index), nullptr);
    }
}

TEST(KLIPCObjects, ContainersRetainObjectsAndRefuseCycles) {
    Object outer = dictionary();
    Object inner = dictionary();
    Object list = array();
    klipc_dictionary_set_value(outer.get(), "list", list.get());
    klipc_array_append_value(list.get(), inner.get());
    // Retained, not copied: a later change shows through the container.
    klipc_dictionary_set_int64(inner.get(), "n", 5);
    EXPECT_EQ(klipc_dictionary_get_int64(klipc_array_get_value(klipc_dictionary_get_value(outer.get(), "list"), 0), "n"), 5);

    kl::clearMemoryLog();
    klipc_dictionary_set_value(outer.get(), "self", outer.get());
    klipc_dictionary_set_value(inner.get(), "loop", outer.get());
    klipc_array_append_value(list.get(), list.get());
    EXPECT_EQ(klipc_dictionary_get_value(outer.get(), "self"), nullptr);
    EXPECT_EQ(klipc_dictionary_get_value(inner.get(), "loop"), nullptr);
    EXPECT_EQ(klipc_array_get_count(list.get()), 1u);
    EXPECT_TRUE(kl::memoryLogContains("cannot be stored inside itself"));

    // Connections and queues cannot travel in a message.
    Object client = Object::adopt(klipc_connection_create_client("com.kelvaro.test.store", nullptr, true));
    klipc_dictionary_set_value(outer.get(), "connection", client.get());
    klipc_dictionary_set_value(outer.get(), "queue", klipc_queue_main());
    EXPECT_EQ(klipc_dictionary_get_value(outer.get(), "connection"), nullptr);
    EXPECT_EQ(klipc_dictionary_get_value(outer.get(), "queue"), nullptr);

    // A NULL value removes the key; the rest keep their order.
    klipc_dictionary_set_int64(outer.get(), "a", 1);
    klipc_dictionary_set_int64(outer.get(), "b", 2);
    klipc_dictionary_set_value(outer.get(), "list", nullptr);
    EXPECT_EQ(klipc_dictionary_get_value(outer.get(), "list"), nullptr);
    EXPECT_EQ(klipc_dictionary_get_int64(outer.get(), "b"), 2);
    char* text = klipc_copy_description(outer.get());
    EXPECT_STREQ(text, "{\"a\": 1, \"b\": 2}");
    std::free(text);
}

TEST(KLIPCObjects, LocalDictionariesHaveNoReplyContext) {
    Object message = dictionary();
    bool filled = false;
    EXPECT_EQ(klipc_dictionary_create_reply(message.get()), nullptr);
    EXPECT_EQ(klipc_dictionary_get_remote_connection(message.get()), nullptr);
    EXPECT_FALSE(klipc_send_reply(message.get(), [&](klipc_object_t) { filled = true; }));
    EXPECT_FALSE(filled);
}

TEST(KLIPCObjects, EventsAreClassifiedAndUnknownObjectsLogged) {
    std::vector<KLIPCMessageType> seen;
    klipc_handler_t handler = [&](KLIPCMessageType type, klipc_object_t) { seen.push_back(type); };
    Object client = Object::adopt(klipc_connection_create_client("com.kelvaro.test.classify", nullptr, true));
    Object dict = dictionary();
    Object list = array();

    kl::ipc::deliverEvent(handler, kl::ipc::interruptedErrorObject(), true);
    kl::ipc::deliverEvent(handler, kl::ipc::invalidErrorObject(), false);
    kl::ipc::deliverEvent(handler, client.get(), true);
    kl::ipc::deliverEvent(handler, dict.get(), false);
    EXPECT_EQ(seen, (std::vector<KLIPCMessageType>{1, 2, 3, 4}));

    // A connection arriving on a reply callback is no new connection; other objects are unknown.
    seen.clear();
    kl::clearMemoryLog();
    kl::ipc::deliverEvent(handler, client.get(), false);
    kl::ipc::deliverEvent(handler, list.get(), true);
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(kl::memoryLogContains("Unknown XPC type: <connection: com.kelvaro.test.classify"));
    EXPECT_TRUE(kl::memoryLogContains("Unknown XPC type: []"));
}

TEST(KLIPCObjects, FinalizerGetsTheContextWhenTheConnectionIsFreed) {
    static void* finalized = nullptr;
    int marker = 0;
    klipc_connection_t connection = klipc_connection_create_client("com.kelvaro.test.finalizer", nullptr, true);
    klipc_connection_set_context(connection, &marker);
    klipc_connection_set_finalizer_f(connection, [](void* context) { finalized = context; });
    EXPECT_EQ(klipc_connection_get_context(connection), &marker);
    klipc_retain(connection);
    klipc_release(connection);
    EXPECT_EQ(finalized, nullptr);
    klipc_release(connection);
    EXPECT_EQ(finalized, &marker);
}

TEST(KLIPCNames, TablesAndTheirEnds) {
    struct Case {
        const char* (*lookUp)(uint64_t);
        uint64_t code;
        const char* name;
    };
    auto messageType = [](uint64_t code) { return CFStringFromIPCMessageType(int32_t(code)); };
    const Case cases[] = {
        {messageType, 0, ""},
        {messageType, 1, "KLIPC_ERROR_CONNECTION_INTERRUPTED"},
        {messageType, 2, "KLIPC_ERROR_CONNECTION_INVALID"},
        {messageType, 3, "KLIPC_LISTENER_NEW_CONNECTION"},
        {messageType, 4, "KLIPC_OK"},
        {messageType, 5, ""},
        {CFStringFromControlAppToDaemonCommand, 0, ""},
        {CFStringFromControlAppToDaemonCommand, 1, "ePWControlAppToDaemonCommandCheckIn"},
        {CFStringFromControlAppToDaemonCommand, 11, "ePWControlAppToDaemonCommandAskOtherControlAppsToQuit"},
        {CFStringFromControlAppToDaemonCommand, 18, "ePWControlAppToDaemonCommandDeleteHost"},
        {CFStringFromControlAppToDaemonCommand, 19, ""},
        {CFStringFromControlAppToDaemonCommand, UINT64_MAX, ""},
        {CFStringFromDaemonToControlAppCommand, 0, ""},
        {CFStringFromDaemonToControlAppCommand, 2, "ePWDaemonToControlAppCommandSignedInChanged"},
        {CFStringFromDaemonToControlAppCommand, 5, "ePWDaemonToControlAppCommandRestart"},
        {CFStringFromDaemonToControlAppCommand, 6, ""},
        {CFStringFromDaemonToControlAppCommand, 10, ""},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.lookUp(c.code), c.name) << c.code;
    EXPECT_EQ(CFStringFromIPCMessageType(-1), std::string());
    EXPECT_EQ(kl::NSString_IPC::stringWithIPCMessageType(4), "KLIPC_OK");
    EXPECT_EQ(kl::NSString_IPC::stringWithControlAppToDaemonCommand(6), "ePWControlAppToDaemonCommandSignIn");
    EXPECT_EQ(kl::NSString_IPC::stringWithDaemonToControlAppCommand(99), "");
}

}  // namespace
