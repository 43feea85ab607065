#include "foundation/KLTRegistryExplorer.h"

#include "foundation/KLTSystemFiles.h"

namespace kl {

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
    if (!name.empty() && systemfiles::containsIgnoringCase(name, text)) results.push_back(Value(path));
    const Value* children = dictionary.get("children");
    if (!children || !children->asArray()) return;
    for (const Value& child : *children->asArray()) searchKeysResultsInDictionary(child, text, path, results);
}

}  // namespace kl
