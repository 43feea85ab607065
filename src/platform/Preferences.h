// Preferences: the per-domain user settings of a program ("com.kelvaro.portweaver.controlapp").
// Each domain is one property-list file, under the user's configuration folder (the privileged
// daemon: /var/lib): <configHome>/Kelvaro/Preferences/<domain>.plist. Values are read from a copy
// loaded on first use; changes show at once in this object and reach the file, merged over what
// other processes wrote meanwhile, at synchronize(). Safe to use from any thread.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace kl {

class Preferences {
public:
    explicit Preferences(std::string domain);

    // The file of a domain; nothing for a name that is not a plain file name.
    static std::optional<std::filesystem::path> fileForDomain(std::string_view domain);

    const std::string& domain() const { return domain_; }
    bool isValid() const { return file_.has_value(); }

    // The stored value, else the registered default, else nothing.
    std::optional<Value> value(std::string_view key);
    // A whole number stored as an integer, or as text holding one (as defaults are often
    // registered); nothing for anything else.
    std::optional<int64_t> integer(std::string_view key);
    // A stored boolean, or a number (non-zero is true); nothing for anything else.
    std::optional<bool> boolean(std::string_view key);
    Dictionary dictionaryRepresentation();

    void setValue(const std::string& key, Value value);
    void removeValue(const std::string& key);
    // Values answered for keys that have none stored; never written.
    void registerDefaults(const Dictionary& defaults);

    // Reads the file again, applies this object's unsaved changes over it, and writes the result
    // atomically when there were any. A file that is not a property list is set aside as
    // "<file>.corrupt" before it is replaced. false when the file cannot be written (the changes
    // stay pending).
    bool synchronize();

private:
    struct Change {
        std::string key;
        std::optional<Value> value;  // nothing: removed
    };
    void loadLocked();

    std::string domain_;
    std::optional<std::filesystem::path> file_;
    std::mutex mutex_;
    bool loaded_ = false;
    Dictionary stored_;
    Dictionary defaults_;
    std::vector<Change> pending_;
};

}  // namespace kl
