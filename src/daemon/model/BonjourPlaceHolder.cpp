#include "daemon/model/BonjourPlaceHolder.h"

#include <map>
#include <mutex>

namespace kl {

namespace {

struct Table {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<BonjourPlaceHolder>> entries;
};

Table& table() {
    static Table* t = new Table;  // never destroyed: records may ask during exit
    return *t;
}

}  // namespace

std::shared_ptr<BonjourPlaceHolder> BonjourPlaceHolder::placeHolderForKey(const std::string& serviceKey) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto& entry = t.entries[serviceKey];
    if (!entry) entry = std::make_shared<BonjourPlaceHolder>();
    return entry;
}

}  // namespace kl
