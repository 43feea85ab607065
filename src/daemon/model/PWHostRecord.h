// One host of the account server's host list, checked and typed. The list comes from the network,
// so a record whose fields have the wrong types is refused as a whole (with the reason) rather
// than half-read.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace kl {

struct PWHostRecord {
    std::optional<std::string> name;
    std::optional<std::string> uuid;
    // Present when the record carries "status" at all; a non-text status reads as unavailable.
    bool hasStatus = false;
    std::optional<std::string> status;
    // Nothing when "service_names" is absent or JSON null: such a host offers no records.
    std::optional<std::vector<std::string>> serviceTypes;
    Value serverID;  // "id": text or number; anything else leaves the record's server id unset
    std::optional<std::string> modelNumber;
    std::optional<std::string> nickname;
    std::optional<std::string> remoteAddresses;

    // "status" equal to "available" in any letter case.
    bool available() const;
};

struct PWHostRecordParse {
    std::optional<PWHostRecord> record;
    std::string refusal;  // why the record was refused
};

PWHostRecordParse parseHostRecord(const Value& value);

// Splits at every separator; an empty text gives one empty part.
std::vector<std::string> splitString(const std::string& text, char separator);

// The IPv4 address before the first ":" of text, converted by inet_aton, into a zeroed address of
// family AF_INET with port 0.
bool addressFromString(const std::string& text, sockaddr_in& address);

}  // namespace kl
