// KLTBonjourBrowser: follows the services of one class-wide DNS-SD type in the default domain and
// keeps the list of those present, announcing each arrival and departure as a batch. The platform
// browser reports services one at a time, so every batch holds one service.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Signal.h"
#include "platform/dnssd/DnsSdBrowser.h"

namespace kl {

struct KLTBonjourService {
    std::string name;
    std::string type;
    std::string domain;
    int interfaceIndex = 0;
    friend bool operator==(const KLTBonjourService& a, const KLTBonjourService& b) {
        return a.name == b.name && a.type == b.type && a.domain == b.domain;
    }
};

class KLTBonjourBrowser {
public:
    // The class-wide type ("portweaver" names "_portweaver._tcp"; a full "_x._tcp" stays as given),
    // set before the first browser is made.
    static void setBonjourServiceName(std::string name);
    static std::string bonjourServiceName();

    // Null, with the assertion logged, when no type was set. create starts browsing at once.
    static std::unique_ptr<KLTBonjourBrowser> create(DnsSdPost post);
    static std::unique_ptr<KLTBonjourBrowser> createWithoutStartingService(DnsSdPost post);

    void start();
    void stop();
    bool started() const { return browser_ != nullptr; }
    std::vector<KLTBonjourService> activeServiceList() const;

    // Emitted on the queue of post, in this order for each batch.
    Signal<> willAddService;
    Signal<const std::vector<KLTBonjourService>&> didAddService;
    Signal<> willRemoveService;
    Signal<const std::vector<std::string>&, const std::vector<KLTBonjourService>&> didRemoveService;

private:
    explicit KLTBonjourBrowser(DnsSdPost post) : post_(std::move(post)) {}
    void handle(const DnsSdBrowseEvent& event);

    DnsSdPost post_;
    std::unique_ptr<DnsSdBrowser> browser_;
    // Lets a callback already posted find out that its browser went away.
    std::shared_ptr<KLTBonjourBrowser*> self_ = std::make_shared<KLTBonjourBrowser*>(this);
    mutable std::mutex lock_;
    std::vector<KLTBonjourService> activeServiceList_;  // lock_
};

}  // namespace kl
