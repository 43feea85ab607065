// Follows the services of one DNS-SD type through avahi. Each service is reported once when it
// appears (on any interface and protocol) and once when its last sighting goes, including when
// avahi-daemon goes away; browsing resumes when the daemon is back.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dnssd/DnsSdPublisher.h"

namespace kl {

struct DnsSdBrowseEvent {
    bool added = false;  // false: removed
    std::string name;
    std::string type;
    std::string domain;
    // Where it was first seen; the loopback interface means a service of this machine only.
    int interfaceIndex = 0;
};

class DnsSdBrowser {
public:
    using Callback = std::function<void(const DnsSdBrowseEvent&)>;

    // Browses type in the default domain; events reach the caller through post.
    static std::unique_ptr<DnsSdBrowser> create(std::string type, DnsSdPost post, Callback callback);
    virtual ~DnsSdBrowser() = default;
};

}  // namespace kl
