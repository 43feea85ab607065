// SecretStore: the system's store of generic passwords, kept by root. One file per item in a folder
// only root may enter (0700), each file 0600 and replaced atomically. Items are found by their
// generic attribute; operations answer keychain-like status codes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace kl {

using SecretStatus = int32_t;
inline constexpr SecretStatus kSecretSuccess = 0;
inline constexpr SecretStatus kSecretIOError = -36;
inline constexpr SecretStatus kSecretParameterError = -50;
inline constexpr SecretStatus kSecretDuplicateItem = -25299;
inline constexpr SecretStatus kSecretItemNotFound = -25300;
inline constexpr SecretStatus kSecretDecodeError = -26275;

struct SecretItem {
    Bytes generic;        // what the item is found by
    std::string service;
    std::string account;
    std::string label;
    Bytes data;           // the secret
};

class SecretStore {
public:
    // The system's store: <data home>/portweaver/secrets (as root: /var/lib/portweaver/secrets).
    SecretStore();
    explicit SecretStore(std::filesystem::path folder);

    const std::filesystem::path& folder() const { return folder_; }

    // Duplicate when an item with the same generic attribute exists.
    SecretStatus add(const SecretItem& item);
    // Replaces the item found by generic with the given one (its generic attribute included).
    SecretStatus update(const Bytes& generic, const SecretItem& item);
    SecretStatus copyMatching(const Bytes& generic, SecretItem& out) const;
    SecretStatus deleteMatching(const Bytes& generic);

private:
    std::filesystem::path fileFor(const Bytes& generic) const;
    SecretStatus write(const SecretItem& item);

    std::filesystem::path folder_;
};

}  // namespace kl
