#include "platform/Preferences.h"

#include <cerrno>
#include <charconv>
#include <cmath>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ValuePlist.h"

namespace kl {
namespace {

constexpr size_t kMaxPreferencesFile = 8u << 20;

enum class FileState { Missing, Loaded, Corrupt };

FileState readDomainFile(const std::filesystem::path& file, Dictionary& out) {
    out = Dictionary{};
    auto contents = readFile(file, kMaxPreferencesFile);
    if (!contents.ok()) return contents.error().code() == ENOENT ? FileState::Missing : FileState::Corrupt;
    auto decoded = valueFromPlist(contents.value());
    if (!decoded.ok() || !decoded.value().asDictionary()) return FileState::Corrupt;
    out = *decoded.value().asDictionary();
    return FileState::Loaded;
}

}  // namespace

Preferences::Preferences(std::string domain) : domain_(std::move(domain)), file_(fileForDomain(domain_)) {}

std::optional<std::filesystem::path> Preferences::fileForDomain(std::string_view domain) {
    if (domain.empty() || domain == "." || domain == ".." || domain.size() > 200 ||
        domain.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
        return std::nullopt;
    return paths::configHome() / "Kelvaro" / "Preferences" / (std::string(domain) + ".plist");
}

void Preferences::loadLocked() {
    if (loaded_ || !file_) return;
    loaded_ = true;
    readDomainFile(*file_, stored_);
}

std::optional<Value> Preferences::value(std::string_view key) {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (const Value* v = stored_.find(key)) return *v;
    if (const Value* v = defaults_.find(key)) return *v;
    return std::nullopt;
}

std::optional<int64_t> Preferences::integer(std::string_view key) {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (auto i = v->asInt()) return i;
    if (const std::string* text = v->asString()) {
        int64_t parsed = 0;
        const char* begin = text->data();
        const char* end = begin + text->size();
        if (begin != end && *begin == '+') ++begin;
        auto [ptr, ec] = std::from_chars(begin, end, parsed);
        if (ec == std::errc() && ptr == end && begin != end) return parsed;
    }
    return std::nullopt;
}

std::optional<bool> Preferences::boolean(std::string_view key) {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (auto b = v->asBool()) return b;
    if (auto d = v->isNumber() ? v->asDouble() : std::nullopt) return *d != 0;
    return std::nullopt;
}

Dictionary Preferences::dictionaryRepresentation() {
    std::lock_guard lock(mutex_);
    loadLocked();
    Dictionary merged = defaults_;
    for (const auto& [key, v] : stored_) merged.set(key, v);
    return merged;
}

void Preferences::setValue(const std::string& key, Value value) {
    std::lock_guard lock(mutex_);
    loadLocked();
    stored_.set(key, value);
    pending_.push_back({key, std::move(value)});
}

void Preferences::removeValue(const std::string& key) {
    std::lock_guard lock(mutex_);
    loadLocked();
    stored_.erase(key);
    pending_.push_back({key, std::nullopt});
}

void Preferences::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, v] : defaults) defaults_.set(key, v);
}

bool Preferences::synchronize() {
    std::lock_guard lock(mutex_);
    if (!file_) return false;
    Dictionary onDisk;
    FileState state = readDomainFile(*file_, onDisk);
    for (const auto& change : pending_) {
        if (change.value) onDisk.set(change.key, *change.value);
        else onDisk.erase(change.key);
    }
    if (!pending_.empty()) {
        if (state == FileState::Corrupt) {
            std::error_code ec;
            std::filesystem::rename(*file_, file_->string() + ".corrupt", ec);
        }
        auto encoded = valueToPlist(Value(onDisk), PlistFormat::Binary);
        if (!encoded.ok()) return false;
        std::string_view data(reinterpret_cast<const char*>(encoded.value().data()), encoded.value().size());
        if (!writeFileAtomically(*file_, data, 0600, 0755).ok()) return false;
        pending_.clear();
    }
    stored_ = std::move(onDisk);
    loaded_ = true;
    return true;
}

}  // namespace kl
