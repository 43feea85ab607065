#include "platform/dnssd/DnsSdBrowser.h"

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <syslog.h>

#include <map>
#include <tuple>

#include "platform/dnssd/AvahiConnection.h"

namespace kl {

namespace {

class AvahiBrowser final : public DnsSdBrowser {
public:
    AvahiBrowser(std::string type, DnsSdPost post, Callback callback)
        : type_(std::move(type)),
          post_(std::move(post)),
          callback_(std::move(callback)),
          connection_(AvahiConnection::Hooks{[this](AvahiClient* client) { start(client); },
                                             [this](bool freed) { stop(freed); }}) {}

private:
    // name, type, domain
    using Key = std::tuple<std::string, std::string, std::string>;
    struct Sighting {
        int interfaceIndex = 0;
        int count = 0;
    };

    void start(AvahiClient* client) {
        if (browser_) return;
        browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(), nullptr,
                                             AvahiLookupFlags(0), browseCallback, this);
        if (!browser_)
            syslog(LOG_NOTICE, "DNS-SD: cannot browse %s: %s", type_.c_str(), avahi_strerror(avahi_client_errno(client)));
    }

    void stop(bool freed) {
        if (browser_ && !freed) avahi_service_browser_free(browser_);
        browser_ = nullptr;
        for (const auto& [key, sighting] : seen_) report(false, key, sighting.interfaceIndex);
        seen_.clear();
    }

    void report(bool added, const Key& key, int interfaceIndex) {
        DnsSdBrowseEvent event{added, std::get<0>(key), std::get<1>(key), std::get<2>(key), interfaceIndex};
        post_([callback = callback_, event] { callback(event); });
    }

    static void browseCallback(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                               const char* name, const char* type, const char* domain, AvahiLookupResultFlags,
                               void* context) {
        auto& self = *static_cast<AvahiBrowser*>(context);
        if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
        if (!name || !type || !domain) return;
        const Key key{name, type, domain};
        if (event == AVAHI_BROWSER_NEW) {
            auto& sighting = self.seen_[key];
            if (sighting.count++ == 0) {
                sighting.interfaceIndex = int(interface);
                self.report(true, key, sighting.interfaceIndex);
            }
            return;
        }
        auto found = self.seen_.find(key);
        if (found == self.seen_.end()) return;
        if (--found->second.count == 0) {
            self.report(false, key, found->second.interfaceIndex);
            self.seen_.erase(found);
        }
    }

    std::string type_;
    DnsSdPost post_;
    Callback callback_;
    // Guarded by the connection's poll lock.
    AvahiServiceBrowser* browser_ = nullptr;
    std::map<Key, Sighting> seen_;
    AvahiConnection connection_;
};

}  // namespace

std::unique_ptr<DnsSdBrowser> DnsSdBrowser::create(std::string type, DnsSdPost post, Callback callback) {
    return std::make_unique<AvahiBrowser>(std::move(type), std::move(post), std::move(callback));
}

}  // namespace kl
