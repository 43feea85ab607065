#include "daemon/model/PWHostRecord.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>

namespace kl {

namespace {

// Reads an optional text field; false when it is present with another type. JSON null is the
// server's way of saying "none" (a host nobody has given a nickname), so it reads as absent.
bool readText(const Value& dict, const char* key, std::optional<std::string>& out) {
    const Value* v = dict.get(key);
    if (!v || v->isNull()) return true;
    if (auto s = v->asString()) {
        out = *s;
        return true;
    }
    return false;
}

}  // namespace

bool PWHostRecord::available() const { return status && ::strcasecmp(status->c_str(), "available") == 0; }

std::vector<std::string> splitString(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

PWHostRecordParse parseHostRecord(const Value& value) {
    if (!value.isDictionary()) return {std::nullopt, "not a dictionary"};
    PWHostRecord r;
    if (!readText(value, "name", r.name)) return {std::nullopt, "\"name\" is not a string"};
    if (!readText(value, "uuid", r.uuid)) return {std::nullopt, "\"uuid\" is not a string"};
    if (!readText(value, "nickname", r.nickname)) return {std::nullopt, "\"nickname\" is not a string"};
    // The model is only shown, so a model of another type is dropped rather than the host.
    if (!readText(value, "model_number", r.modelNumber)) r.modelNumber.reset();
    if (const Value* status = value.get("status")) {
        r.hasStatus = true;
        if (auto s = status->asString()) r.status = *s;
    }
    if (const Value* services = value.get("service_names"); services && !services->isNull()) {
        auto text = services->asString();
        if (!text) return {std::nullopt, "\"service_names\" is not a string"};
        r.serviceTypes = splitString(*text, ',');
    }
    if (const Value* addresses = value.get("remote_addresses")) {
        auto text = addresses->asString();
        if (!text) return {std::nullopt, "\"remote_addresses\" is not a string"};
        r.remoteAddresses = *text;
    }
    if (const Value* id = value.get("id")) r.serverID = *id;
    if (r.serviceTypes) {
        if (!r.uuid) return {std::nullopt, "lists services without \"uuid\""};
        if (!r.name) return {std::nullopt, "lists services without \"name\""};
    }
    return {std::move(r), {}};
}

bool addressFromString(const std::string& text, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = 0;
    std::string host = text.substr(0, text.find(':'));
    return ::inet_aton(host.c_str(), &address.sin_addr) != 0;
}

}  // namespace kl
