// KLTRegistryExplorer: the hardware registry's facts about this machine, read from the files
// Linux publishes to every user: the model from the firmware's DMI table (or the device tree), and
// as the machine's serial number its machine id (the DMI serial number is readable by root only,
// and the identity must come out the same for the daemon and for users).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kl {

class KLTRegistryExplorer {
public:
    // The model identifier: /sys/class/dmi/id/product_name, else the device tree's model.
    static std::optional<std::string> computerModel();
    // /etc/machine-id, else /var/lib/dbus/machine-id.
    static std::optional<std::string> machineSerialNumber();

    // The browsing part: a registry tree of dictionaries ("name", "children") that nothing fills
    // yet, so searches come back empty.
    static KLTRegistryExplorer& sharedExplorer();
    const Value& registryDictionary() const { return registryDictionary_; }
    void setRegistryDictionary(Value dictionary) { registryDictionary_ = std::move(dictionary); }
    const std::string& currentPlane() const { return currentPlane_; }
    void setCurrentPlane(std::string plane) { currentPlane_ = std::move(plane); }
    const char* currentPlaneCString() const { return currentPlane_.c_str(); }

    // With searchKeys: the path ("root:child:entry", the names of the entry and its ancestors
    // joined by ":") of every entry whose "name" contains text (ignoring case), depth first; empty
    // otherwise.
    Array searchResultsForText(std::string_view text, bool searchKeys, bool searchValues) const;
    static void searchKeysResultsInDictionary(const Value& dictionary, std::string_view text,
                                              const std::string& passedPath, Array& results);

private:
    Value registryDictionary_ = Dictionary{};
    std::string currentPlane_ = "IOService";
};

}  // namespace kl
