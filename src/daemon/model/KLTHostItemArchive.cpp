#include "daemon/model/KLTHostItemArchive.h"

#include <cstdio>

#include "daemon/model/KLTHostItem.h"

namespace kl {

std::optional<KLTHostItemArchive> KLTHostItemArchive::fromValue(const Value& value) {
    if (!value.isDictionary()) return std::nullopt;
    KLTHostItemArchive archive;
    const Value* version = value.get("objectVersion");
    archive.objectVersion = version ? *version : Value();
    if (const Value* uuid = value.get("hostUUID"); uuid && uuid->asString()) archive.hostUUID = *uuid->asString();
    if (const Value* user = value.get("sshUsername"); user && user->asString()) archive.sshUsername = *user->asString();
    return archive;
}

Value KLTHostItemArchive::toValue() const {
    Dictionary d;
    if (!objectVersion.isNull()) d.set("objectVersion", objectVersion);
    if (hostUUID) d.set("hostUUID", *hostUUID);
    if (sshUsername) d.set("sshUsername", *sshUsername);
    return d;
}

void KLTHostItemArchive::impartArchiveStateOnHostItem(KLTHostItem* item) const {
    if (item && sshUsername) item->setSshUsername(*sshUsername);
}

std::string KLTHostItemArchive::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return std::string("<KLTHostItemArchive: ") + address + "> version = " + objectVersion.description() +
           ", hostUUID = " + hostUUID.value_or("(null)") + ", sshUsername = " + sshUsername.value_or("(null)");
}

}  // namespace kl
