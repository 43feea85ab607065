#include "foundation/KLTRegistryExplorer.h"

#include <algorithm>
#include <cctype>

#include "foundation/KLTSystemFiles.h"

namespace kl {
namespace {

bool containsIgnoringCase(std::string_view text, std::string_view needle) {
    auto lower = [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); };
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

}  // namespace

std::optional<std::string> KLTRegistryExplorer::computerModel() {
    if (auto model = systemfiles::readTrimmed("/sys/class/dmi/id/product_name")) return model;
    return systemfiles::readTrimmed("/sys/firmware/devicetree/base/model");
}

std::optional<std::string> KLTRegistryExplorer::machineSerialNumber() {
    if (auto id = systemfiles::readTrimmed("/etc/machine-id")) return id;
    return systemfiles::readTrimmed("/var/lib/dbus/machine-id");
}

KLTRegistryExplorer& KLTRegistryExplorer::sharedExplorer() {
    static auto* explorer = new KLTRegistryExplorer();  // kept for the life of the process
    return *explorer;
}

Array KLTRegistryExplorer::searchResultsForText(std::string_view text, bool searchKeys, bool searchValues) const {
    Array results;
    if (searchKeys) searchKeysResultsInDictionary(registryDictionary_, text, "", results);
    return results;
}

void KLTRegistryExplorer::searchKeysResultsInDictionary(const Value& dictionary, std::string_view text,
                                                        const std::string& passedPath, Array& results) {
    if (!dictionary.isDictionary()) return;
    std::string name = dictionary.stringOr("name", "");
    std::string path = passedPath.empty() ? name : passedPath + ":" + name;
    if (!name.empty() && containsIgnoringCase(name, text)) results.push_back(Value(path));
    const Value* children = dictionary.get("children");
    if (!children || !children->asArray()) return;
    for (const Value& child : *children->asArray()) searchKeysResultsInDictionary(child, text, path, results);
}

}  // namespace kl
