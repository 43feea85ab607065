#include "controlapp/ui/KLTComputerModels.h"

#include <QCoreApplication>
#include <QObject>

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/ValuePlist.h"

namespace kl {

namespace {

struct Tables {
    std::map<std::string, std::string> names, images;
    std::vector<std::string> genericNames;
};

std::mutex& tablesLock() {
    static std::mutex lock;
    return lock;
}

std::optional<Tables>& storedTables() {
    static std::optional<Tables> tables;
    return tables;
}

std::map<std::string, std::string> textDictionary(const Value* value) {
    std::map<std::string, std::string> out;
    const Dictionary* d = value ? value->asDictionary() : nullptr;
    if (!d) return out;
    for (const auto& [key, entry] : *d)
        if (const std::string* text = entry.asString()) out.emplace(key, *text);
    return out;
}

Tables tablesFrom(const Value& table) {
    Tables t;
    t.names = textDictionary(table.get("Names"));
    t.images = textDictionary(table.get("Images"));
    if (const Value* generic = table.get("GenericNames"); generic && generic->asArray())
        for (const auto& prefix : *generic->asArray())
            if (const std::string* text = prefix.asString()) t.genericNames.push_back(*text);
    return t;
}

std::optional<Value> readTable(const std::filesystem::path& file) {
    auto data = readFile(file, 1u << 20);
    if (!data) return std::nullopt;
    auto value = valueFromPlist(data.value());
    if (!value || !value.value().isDictionary()) return std::nullopt;
    return std::move(value).value();
}

// The table, loaded from the bundle on first use.
Tables tables() {
    std::lock_guard lock(tablesLock());
    auto& stored = storedTables();
    if (!stored) {
        stored = Tables{};
        if (QCoreApplication::instance()) {
            const std::filesystem::path file = QCoreApplication::applicationDirPath().toStdString() + "/../share/ComputerModels.plist";
            if (auto value = readTable(file)) *stored = tablesFrom(*value);
            else KLLog(kKLTLoggingLevelError, "No computer model table at %s", file.c_str());
        }
    }
    return *stored;
}

// The entry for the model itself, else for the first generic prefix it starts with.
std::optional<std::string> lookUp(const Tables& t, const std::map<std::string, std::string>& entries,
                                  const std::string& model) {
    if (auto it = entries.find(model); it != entries.end()) return it->second;
    for (const auto& prefix : t.genericNames) {
        if (model.rfind(prefix, 0) != 0) continue;
        if (auto it = entries.find(prefix); it != entries.end()) return it->second;
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::string KLTComputerModels::stringWithComputerModel(const std::string& model) {
    const Tables t = tables();
    if (auto name = lookUp(t, t.names, model)) return *name;
    return QObject::tr("Unidentified Computer %1").arg(QString::fromStdString(model)).toStdString();
}

std::string KLTComputerModels::conciseStringWithComputerModel(const std::string& model) {
    const std::string name = stringWithComputerModel(model);
    const size_t paren = name.find('(');
    if (paren == std::string::npos || paren == 0) return name;
    return name.substr(0, paren);
}

std::string KLTComputerModels::imageNameWithComputerModel(const std::string& model) {
    const Tables t = tables();
    return lookUp(t, t.images, model).value_or("generic");
}

void KLTComputerModels::setTable(const Value& table) {
    std::lock_guard lock(tablesLock());
    storedTables() = tablesFrom(table);
}

bool KLTComputerModels::loadTable(const std::filesystem::path& file) {
    auto value = readTable(file);
    if (value) setTable(*value);
    return value.has_value();
}

}  // namespace kl
