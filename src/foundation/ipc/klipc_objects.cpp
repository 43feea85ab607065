// Reference counting, dictionaries, arrays, descriptions and the value conversions of klipc.
#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "foundation/KLTLogging.h"
#include "foundation/ipc/KLIPCObjects.h"

using kl::ipc::ArrayObject;
using kl::ipc::DataObject;
using kl::ipc::DictionaryObject;
using kl::ipc::ObjectRef;
using kl::ipc::ScalarObject;
using kl::ipc::StringObject;
using Kind = klipc_object_s::Kind;

namespace kl::ipc {
namespace {

// Data getters hand out a pointer even for empty data, so callers can tell "empty" from "missing".
const uint8_t kEmptyData[1] = {0};

template <class T, class... Args>
ObjectRef make(Args&&... args) {
    return ObjectRef::adopt(new T(std::forward<Args>(args)...));
}

ObjectRef makeScalar(const Value& value) {
    switch (value.type()) {
    case Value::Type::Bool: return make<ScalarObject>(Kind::Bool, value);
    case Value::Type::Int: return make<ScalarObject>(Kind::Int64, value);
    case Value::Type::UInt: return make<ScalarObject>(Kind::UInt64, value);
    case Value::Type::Double: return make<ScalarObject>(Kind::Double, value);
    case Value::Type::Date: return make<ScalarObject>(Kind::Date, value);
    default: return make<ScalarObject>(Kind::Null, Value());
    }
}

// True when container is value itself or somewhere inside it: putting value into container would
// make a cycle that neither reference counting nor the encoder could undo.
bool contains(klipc_object_t value, klipc_object_t container) {
    if (value == container) return true;
    if (auto* array = asArray(value)) {
        for (const auto& element : array->elements)
            if (contains(element.get(), container)) return true;
    } else if (auto* dict = asDictionary(value)) {
        for (const auto& [key, element] : dict->entries)
            if (contains(element.get(), container)) return true;
    }
    return false;
}

// Containers take only what the wire can carry.
bool storable(klipc_object_t value, klipc_object_t container) {
    switch (value->kind) {
    case Kind::Connection:
    case Kind::Error:
    case Kind::Queue:
        KLLog(kKLTLoggingLevelError, "klipc: connections, errors and queues cannot be stored in a container");
        return false;
    case Kind::Array:
    case Kind::Dictionary:
        if (contains(value, container)) {
            KLLog(kKLTLoggingLevelError, "klipc: a container cannot be stored inside itself");
            return false;
        }
        return true;
    default: return true;
    }
}

const void* dataOf(klipc_object_t object, size_t* length) {
    auto* data = objectAs<DataObject>(object, Kind::Data);
    if (length) *length = data ? data->bytes.size() : 0;
    if (!data) return nullptr;
    return data->bytes.empty() ? kEmptyData : data->bytes.data();
}

template <class T>
T scalarOf(klipc_object_t object, Kind kind) {
    auto* scalar = objectAs<ScalarObject>(object, kind);
    if (!scalar) return T{};
    if constexpr (std::is_same_v<T, bool>) return *scalar->value.asBool();
    else if constexpr (std::is_same_v<T, int64_t>) return *scalar->value.asInt();
    else if constexpr (std::is_same_v<T, uint64_t>) return *scalar->value.asUInt();
    else return *scalar->value.asDouble();
}

std::string describe(klipc_object_t object) {
    switch (object->kind) {
    case Kind::Connection: {
        auto* connection = static_cast<ConnectionObject*>(object);
        return connection->engine ? connection->engine->description() : "<connection>";
    }
    case Kind::Error: return "<error: " + static_cast<ErrorObject*>(object)->description + ">";
    case Kind::Queue: return "<queue: " + static_cast<QueueObject*>(object)->queue->label() + ">";
    default: {
        // Values read as they would travel.
        Value value;
        return valueFromObject(object, value) ? value.description() : "<nested too deeply to describe>";
    }
    }
}

klipc_object_t immortal(klipc_object_t object) {
    object->immortal = true;
    return object;
}

}  // namespace

klipc_object_t DictionaryObject::find(const std::string& key) const {
    auto it = index.find(key);
    return it == index.end() ? nullptr : entries[it->second].second.get();
}

void DictionaryObject::set(const std::string& key, ObjectRef value) {
    auto it = index.find(key);
    if (it != index.end()) {
        entries[it->second].second = std::move(value);
        return;
    }
    index.emplace(key, entries.size());
    entries.emplace_back(key, std::move(value));
}

void DictionaryObject::erase(const std::string& key) {
    auto it = index.find(key);
    if (it == index.end()) return;
    entries.erase(entries.begin() + ptrdiff_t(it->second));
    index.clear();
    for (size_t i = 0; i < entries.size(); ++i) index.emplace(entries[i].first, i);
}

ConnectionObject::~ConnectionObject() {
    if (engine) engine->shutdown();
    if (klipc_finalizer_t finalizer = this->finalizer.load()) finalizer(context.load());
}

klipc_object_t interruptedErrorObject() {
    static klipc_object_t object = immortal(new ErrorObject(KLIPC_ERROR_CONNECTION_INTERRUPTED, "connection interrupted"));
    return object;
}

klipc_object_t invalidErrorObject() {
    static klipc_object_t object = immortal(new ErrorObject(KLIPC_ERROR_CONNECTION_INVALID, "connection invalid"));
    return object;
}

ObjectRef objectFromValue(const Value& value) {
    switch (value.type()) {
    case Value::Type::String: return make<StringObject>(*value.asString());
    case Value::Type::Bytes: return make<DataObject>(*value.asBytes());
    case Value::Type::Array: {
        auto ref = make<ArrayObject>();
        auto* array = static_cast<ArrayObject*>(ref.get());
        for (const Value& e : *value.asArray()) array->elements.push_back(objectFromValue(e));
        return ref;
    }
    case Value::Type::Dictionary: {
        auto ref = make<DictionaryObject>();
        auto* dict = static_cast<DictionaryObject*>(ref.get());
        for (const auto& [key, e] : *value.asDictionary()) dict->set(key, objectFromValue(e));
        return ref;
    }
    default: return makeScalar(value);
    }
}

bool valueFromObject(klipc_object_t object, Value& out, unsigned depth) {
    if (!object || depth > kMaxNestingDepth) return false;
    switch (object->kind) {
    case Kind::Null:
    case Kind::Bool:
    case Kind::Int64:
    case Kind::UInt64:
    case Kind::Double:
    case Kind::Date: out = static_cast<ScalarObject*>(object)->value; return true;
    case Kind::String: out = Value(static_cast<StringObject*>(object)->text); return true;
    case Kind::Data: out = Value(static_cast<DataObject*>(object)->bytes); return true;
    case Kind::Array: {
        Array array;
        array.reserve(static_cast<ArrayObject*>(object)->elements.size());
        for (const auto& e : static_cast<ArrayObject*>(object)->elements) {
            array.emplace_back();
            if (!valueFromObject(e.get(), array.back(), depth + 1)) return false;
        }
        out = Value(std::move(array));
        return true;
    }
    case Kind::Dictionary: {
        Dictionary dict;
        for (const auto& [key, e] : static_cast<DictionaryObject*>(object)->entries) {
            Value v;
            if (!valueFromObject(e.get(), v, depth + 1)) return false;
            dict.set(key, std::move(v));
        }
        out = Value(std::move(dict));
        return true;
    }
    default: return false;
    }
}

void deliverEvent(const klipc_handler_t& handler, klipc_object_t object, bool allowConnections) {
    if (!handler) return;
    if (object == interruptedErrorObject()) {
        handler(KLIPC_ERROR_CONNECTION_INTERRUPTED, nullptr);
    } else if (object == invalidErrorObject()) {
        handler(KLIPC_ERROR_CONNECTION_INVALID, nullptr);
    } else if (allowConnections && asConnection(object)) {
        handler(KLIPC_LISTENER_NEW_CONNECTION, object);
    } else if (asDictionary(object)) {
        handler(KLIPC_OK, object);
    } else {
        char* text = klipc_copy_description(object);
        // Written at error priority whatever the threshold, as the platform transport's errors are.
        if (kl::logSink() == kl::LogSink::Syslog) ::syslog(LOG_ERR, "Unknown XPC type: %s", text ? text : "(null)");
        else KLLogWrite(kKLTLoggingLevelError, "Unknown XPC type: %s", text ? text : "(null)");
        std::free(text);
    }
}

}  // namespace kl::ipc

using namespace kl::ipc;
using kl::Value;

extern "C" {

klipc_object_t klipc_retain(klipc_object_t object) {
    if (object && !object->immortal) object->references.fetch_add(1, std::memory_order_relaxed);
    return object;
}

void klipc_release(klipc_object_t object) {
    if (!object || object->immortal) return;
    if (object->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
}

char* klipc_copy_description(klipc_object_t object) {
    if (!object) return nullptr;
    return ::strdup(describe(object).c_str());
}

bool klipc_object_is_dict(klipc_object_t object) { return asDictionary(object) != nullptr; }
bool klipc_object_is_array(klipc_object_t object) { return asArray(object) != nullptr; }

klipc_object_t klipc_dictionary_create(void) { return new DictionaryObject(); }

static void setInDictionary(klipc_object_t dictionary, const char* key, ObjectRef value) {
    auto* dict = asDictionary(dictionary);
    if (!dict || !key) return;
    dict->set(key, std::move(value));
}

void klipc_dictionary_set_int64(klipc_object_t d, const char* key, int64_t value) { setInDictionary(d, key, makeScalar(Value(value))); }
void klipc_dictionary_set_uint64(klipc_object_t d, const char* key, uint64_t value) { setInDictionary(d, key, makeScalar(Value(value))); }
void klipc_dictionary_set_bool(klipc_object_t d, const char* key, bool value) { setInDictionary(d, key, makeScalar(Value(value))); }
void klipc_dictionary_set_double(klipc_object_t d, const char* key, double value) { setInDictionary(d, key, makeScalar(Value(value))); }

void klipc_dictionary_set_string(klipc_object_t d, const char* key, const char* value) {
    if (!value || !asDictionary(d)) return;
    setInDictionary(d, key, make<StringObject>(value));
}

void klipc_dictionary_set_data(klipc_object_t d, const char* key, const void* bytes, size_t length) {
    if ((!bytes && length) || !asDictionary(d)) return;
    auto* p = static_cast<const uint8_t*>(bytes);
    setInDictionary(d, key, make<DataObject>(kl::Bytes(p, p + length)));
}

void klipc_dictionary_set_value(klipc_object_t d, const char* key, klipc_object_t value) {
    auto* dict = asDictionary(d);
    if (!dict || !key) return;
    if (!value) {
        dict->erase(key);
        return;
    }
    if (storable(value, d)) dict->set(key, ObjectRef::retain(value));
}

static klipc_object_t lookUp(klipc_object_t d, const char* key) {
    auto* dict = asDictionary(d);
    return dict && key ? dict->find(key) : nullptr;
}

int64_t klipc_dictionary_get_int64(klipc_object_t d, const char* key) { return scalarOf<int64_t>(lookUp(d, key), Kind::Int64); }
uint64_t klipc_dictionary_get_uint64(klipc_object_t d, const char* key) { return scalarOf<uint64_t>(lookUp(d, key), Kind::UInt64); }
bool klipc_dictionary_get_bool(klipc_object_t d, const char* key) { return scalarOf<bool>(lookUp(d, key), Kind::Bool); }
double klipc_dictionary_get_double(klipc_object_t d, const char* key) { return scalarOf<double>(lookUp(d, key), Kind::Double); }

const char* klipc_dictionary_get_string(klipc_object_t d, const char* key) {
    auto* s = objectAs<StringObject>(lookUp(d, key), Kind::String);
    return s ? s->text.c_str() : nullptr;
}

const void* klipc_dictionary_get_data(klipc_object_t d, const char* key, size_t* length) {
    return dataOf(lookUp(d, key), length);
}

klipc_object_t klipc_dictionary_get_value(klipc_object_t d, const char* key) { return lookUp(d, key); }

klipc_object_t klipc_array_create(void) { return new ArrayObject(); }

static void appendToArray(klipc_object_t a, ObjectRef value) {
    if (auto* array = asArray(a)) array->elements.push_back(std::move(value));
}

void klipc_array_append_int64(klipc_object_t a, int64_t value) {
    if (asArray(a)) appendToArray(a, makeScalar(Value(value)));
}

void klipc_array_append_uint64(klipc_object_t a, uint64_t value) {
    if (asArray(a)) appendToArray(a, makeScalar(Value(value)));
}

void klipc_array_append_data(klipc_object_t a, const void* bytes, size_t length) {
    if (!asArray(a) || (!bytes && length)) return;
    auto* p = static_cast<const uint8_t*>(bytes);
    appendToArray(a, make<DataObject>(kl::Bytes(p, p + length)));
}

void klipc_array_append_value(klipc_object_t a, klipc_object_t value) {
    if (!asArray(a) || !value || !storable(value, a)) return;
    appendToArray(a, ObjectRef::retain(value));
}

size_t klipc_array_get_count(klipc_object_t a) {
    auto* array = asArray(a);
    return array ? array->elements.size() : 0;
}

static klipc_object_t elementAt(klipc_object_t a, size_t index) {
    auto* array = asArray(a);
    return array && index < array->elements.size() ? array->elements[index].get() : nullptr;
}

int64_t klipc_array_get_int64(klipc_object_t a, size_t index) { return scalarOf<int64_t>(elementAt(a, index), Kind::Int64); }
uint64_t klipc_array_get_uint64(klipc_object_t a, size_t index) { return scalarOf<uint64_t>(elementAt(a, index), Kind::UInt64); }

const void* klipc_array_get_data(klipc_object_t a, size_t index, size_t* length) {
    return dataOf(elementAt(a, index), length);
}

klipc_object_t klipc_array_get_value(klipc_object_t a, size_t index) { return elementAt(a, index); }

}  // extern "C"
