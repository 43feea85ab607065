#include "platform/SecretStore.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace {

// The folder is made (or tightened) to 0700 before any item is written into it.
bool ensurePrivateFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return false;
    return ::chmod(folder.c_str(), 0700) == 0;
}

}  // namespace

SecretStore::SecretStore() : SecretStore(paths::dataHome() / "portweaver" / "secrets") {}

SecretStore::SecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path SecretStore::fileFor(const Bytes& generic) const {
    static const char* kHex = "0123456789abcdef";
    std::string name;
    for (uint8_t byte : generic) {
        name += kHex[byte >> 4];
        name += kHex[byte & 15];
    }
    return folder_ / (name + ".item");
}

SecretStatus SecretStore::write(const SecretItem& item) {
    if (!ensurePrivateFolder(folder_)) return kSecretIOError;
    Dictionary record{{"generic", Value(item.generic)},
                      {"service", Value(item.service)},
                      {"account", Value(item.account)},
                      {"label", Value(item.label)},
                      {"data", Value(item.data)}};
    auto encoded = valueToPlist(Value(std::move(record)));
    if (!encoded) return kSecretParameterError;
    std::string bytes(encoded->begin(), encoded->end());
    return writeFileAtomically(fileFor(item.generic), bytes, 0600, 0700) ? kSecretSuccess : kSecretIOError;
}

SecretStatus SecretStore::add(const SecretItem& item) {
    if (item.generic.empty()) return kSecretParameterError;
    std::error_code error;
    if (std::filesystem::exists(fileFor(item.generic), error)) return kSecretDuplicateItem;
    return write(item);
}

SecretStatus SecretStore::update(const Bytes& generic, const SecretItem& item) {
    if (generic.empty() || item.generic.empty()) return kSecretParameterError;
    std::error_code error;
    if (!std::filesystem::exists(fileFor(generic), error)) return kSecretItemNotFound;
    SecretStatus status = write(item);
    if (status == kSecretSuccess && item.generic != generic) std::filesystem::remove(fileFor(generic), error);
    return status;
}

SecretStatus SecretStore::copyMatching(const Bytes& generic, SecretItem& out) const {
    if (generic.empty()) return kSecretParameterError;
    auto text = readFile(fileFor(generic), 1 << 20);
    if (!text) return text.error().code() == ENOENT ? kSecretItemNotFound : kSecretIOError;
    auto value = valueFromPlist(*text);
    const Dictionary* record = value ? value->asDictionary() : nullptr;
    if (!record) return kSecretDecodeError;
    auto bytesOf = [&](const char* key) -> const Bytes* {
        const Value* v = record->find(key);
        return v ? v->asBytes() : nullptr;
    };
    auto textOf = [&](const char* key) -> const std::string* {
        const Value* v = record->find(key);
        return v ? v->asString() : nullptr;
    };
    const Bytes* storedGeneric = bytesOf("generic");
    const Bytes* data = bytesOf("data");
    const std::string* service = textOf("service");
    const std::string* account = textOf("account");
    const std::string* label = textOf("label");
    if (!storedGeneric || *storedGeneric != generic || !data || !service || !account || !label) return kSecretDecodeError;
    out = SecretItem{*storedGeneric, *service, *account, *label, *data};
    return kSecretSuccess;
}

SecretStatus SecretStore::deleteMatching(const Bytes& generic) {
    if (generic.empty()) return kSecretParameterError;
    std::error_code error;
    if (!std::filesystem::remove(fileFor(generic), error)) return error ? kSecretIOError : kSecretItemNotFound;
    return kSecretSuccess;
}

}  // namespace kl
