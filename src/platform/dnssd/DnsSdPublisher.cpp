#include "platform/dnssd/DnsSdPublisher.h"

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <net/if.h>
#include <syslog.h>

#include <atomic>
#include <map>

#include "platform/dnssd/AvahiConnection.h"

namespace kl {

namespace {

// More renames than this for one service means something else is wrong.
constexpr int kMaxRenames = 32;
constexpr size_t kMaxLabelBytes = 63;

class AvahiPublisher;

struct Publication {
    AvahiPublisher* owner = nullptr;
    DnsSdService service;
    std::string currentName;
    AvahiEntryGroup* group = nullptr;
    bool failed = false;
    DnsSdPublisher::Callback callback;
    // Cleared by withdraw on the caller's queue; posted callbacks check it there.
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
};

class AvahiPublisher final : public DnsSdPublisher {
public:
    explicit AvahiPublisher(DnsSdPost post)
        : post_(std::move(post)),
          connection_(AvahiConnection::Hooks{[this](AvahiClient* client) { publishAll(client); },
                                             [this](bool freed) { pauseAll(freed); }}) {}

    ~AvahiPublisher() override {
        // The connection (declared last) stops its thread and frees the client first.
    }

    Id publish(const DnsSdService& service, Callback callback) override {
        if (service.name.empty() || service.name.size() > kMaxLabelBytes || !avahi_is_valid_service_name(service.name.c_str()) ||
            !avahi_is_valid_service_type_strict(service.type.c_str()) || service.port == 0) {
            syslog(LOG_NOTICE, "DNS-SD: refusing to publish \"%s\" of type \"%s\"", service.name.c_str(),
                   service.type.c_str());
            return 0;
        }
        AvahiConnection::Guard guard(connection_);
        const Id id = ++lastId_;
        auto& publication = publications_[id];
        publication.owner = this;
        publication.service = service;
        publication.currentName = service.name;
        publication.callback = std::move(callback);
        if (AvahiClient* client = connection_.runningClient()) establish(client, publication);
        return id;
    }

    void withdraw(Id id) override {
        AvahiConnection::Guard guard(connection_);
        auto found = publications_.find(id);
        if (found == publications_.end()) return;
        found->second.alive->store(false);
        if (found->second.group) avahi_entry_group_free(found->second.group);
        publications_.erase(found);
    }

private:

    void publishAll(AvahiClient* client) {
        for (auto& [id, publication] : publications_)
            if (!publication.failed) establish(client, publication);
    }

    void pauseAll(bool freed) {
        for (auto& [id, publication] : publications_) {
            if (!publication.group) continue;
            // A freed client frees its groups with it.
            if (freed)
                publication.group = nullptr;
            else
                avahi_entry_group_reset(publication.group);
        }
    }

    void report(Publication& publication, DnsSdPublishEvent event) {
        if (!publication.callback) return;
        post_([alive = publication.alive, callback = publication.callback, event, name = publication.currentName] {
            if (alive->load()) callback(event, name);
        });
    }

    void fail(Publication& publication, int error) {
        syslog(LOG_NOTICE, "DNS-SD: cannot publish \"%s\" (%s): %s", publication.currentName.c_str(),
               publication.service.type.c_str(), avahi_strerror(error));
        if (publication.group) avahi_entry_group_free(publication.group);
        publication.group = nullptr;
        publication.failed = true;
        report(publication, DnsSdPublishEvent::Failed);
    }

    void rename(Publication& publication) {
        char* alternative = avahi_alternative_service_name(publication.currentName.c_str());
        syslog(LOG_NOTICE, "DNS-SD: \"%s\" is taken, trying \"%s\"", publication.currentName.c_str(), alternative);
        publication.currentName = alternative;
        avahi_free(alternative);
    }

    // Adds the service to the publication's group (made on first use) and commits it.
    void establish(AvahiClient* client, Publication& publication) {
        if (!publication.group) {
            publication.group = avahi_entry_group_new(client, groupCallback, &publication);
            if (!publication.group) return fail(publication, avahi_client_errno(client));
        } else if (!avahi_entry_group_is_empty(publication.group)) {
            avahi_entry_group_reset(publication.group);
        }
        const AvahiIfIndex interface =
            publication.service.localOnly ? AvahiIfIndex(if_nametoindex("lo")) : AVAHI_IF_UNSPEC;
        for (int attempt = 0;; ++attempt) {
            const int result = avahi_entry_group_add_service(
                publication.group, interface, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), publication.currentName.c_str(),
                publication.service.type.c_str(), nullptr, nullptr, publication.service.port, nullptr);
            if (result == AVAHI_OK) break;
            // A service of this machine already holds the name.
            if (result == AVAHI_ERR_COLLISION && attempt < kMaxRenames) {
                rename(publication);
                continue;
            }
            return fail(publication, result);
        }
        if (const int result = avahi_entry_group_commit(publication.group); result != AVAHI_OK)
            fail(publication, result);
    }

    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        auto& publication = *static_cast<Publication*>(context);
        // A group already let go (its client failed; it is freed with the client) or not yet
        // stored (avahi_entry_group_new reports its first state before returning) is not ours.
        if (publication.group != group) return;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            publication.owner->report(publication, DnsSdPublishEvent::Registered);
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Someone on the network holds the name: take the alternative and publish again.
            publication.owner->rename(publication);
            if (AvahiClient* client = avahi_entry_group_get_client(group)) publication.owner->establish(client, publication);
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            publication.owner->fail(publication, avahi_client_errno(avahi_entry_group_get_client(group)));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    DnsSdPost post_;
    // Guarded by the connection's poll lock. Map nodes stay put, so groups may point at them.
    std::map<Id, Publication> publications_;
    Id lastId_ = 0;
    AvahiConnection connection_;
};

}  // namespace

std::shared_ptr<DnsSdPublisher> DnsSdPublisher::create(DnsSdPost post) {
    return std::make_shared<AvahiPublisher>(std::move(post));
}

}  // namespace kl
