// The per-host state that outlives the process (the SSH user name chosen for a host), kept in the
// services manager's host-item archive as one dictionary per host.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace kl {

class KLTHostItem;

class KLTHostItemArchive {
public:
    // The version every new record is written with; an archive of another version is out of date.
    static constexpr int64_t kCurrentObjectVersion = 1;

    // The record of an archive entry; nothing when the entry is not a dictionary. A missing key
    // gives a missing field.
    static std::optional<KLTHostItemArchive> fromValue(const Value& value);
    // "objectVersion", "hostUUID", "sshUsername"; missing fields are left out.
    Value toValue() const;

    // Sets the host's SSH user name when both the item and this record's user name are present.
    void impartArchiveStateOnHostItem(KLTHostItem* item) const;
    bool isCurrentVersion() const { return objectVersion.asInt() == kCurrentObjectVersion; }
    // "<KLTHostItemArchive: 0x...> version = 1, hostUUID = ..., sshUsername = ...".
    std::string description() const;

    Value objectVersion = Value(kCurrentObjectVersion);
    std::optional<std::string> hostUUID;
    std::optional<std::string> sshUsername;
};

}  // namespace kl
