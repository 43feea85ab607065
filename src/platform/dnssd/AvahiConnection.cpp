#include "platform/dnssd/AvahiConnection.h"

#include <avahi-common/error.h>
#include <avahi-common/timeval.h>
#include <syslog.h>

#include <stdexcept>

namespace kl {

namespace {
constexpr long kRetryMicroseconds = 1000 * 1000;
}

AvahiConnection::AvahiConnection(Hooks hooks) : hooks_(std::move(hooks)) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) throw std::runtime_error("avahi_threaded_poll_new failed");
    // Before the thread starts no lock is needed.
    connect();
    if (avahi_threaded_poll_start(poll_) < 0) {
        if (client_) avahi_client_free(client_);
        avahi_threaded_poll_free(poll_);
        throw std::runtime_error("avahi_threaded_poll_start failed");
    }
}

AvahiConnection::~AvahiConnection() {
    avahi_threaded_poll_stop(poll_);
    if (retry_) avahi_threaded_poll_get(poll_)->timeout_free(retry_);
    if (client_) {
        if (!failed_ && hooks_.paused) hooks_.paused(true);
        running_ = false;
        avahi_client_free(client_);
    }
    avahi_threaded_poll_free(poll_);
}

void AvahiConnection::connect() {
    int error = 0;
    // NO_FAIL: a daemon that is not there yet is waited for instead of failing.
    AvahiClient* client =
        avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
    client_ = client;
    if (!client) {
        // No system bus at all: try again later, saying so once.
        if (!unreachableReported_) syslog(LOG_NOTICE, "DNS-SD: cannot reach avahi: %s", avahi_strerror(error));
        unreachableReported_ = true;
        scheduleRetry();
        return;
    }
    unreachableReported_ = false;
}

void AvahiConnection::scheduleRetry() {
    timeval when{};
    avahi_elapse_time(&when, kRetryMicroseconds / 1000, 0);
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    if (retry_)
        api->timeout_update(retry_, &when);
    else
        retry_ = api->timeout_new(api, &when, retryCallback, this);
}

void AvahiConnection::retryCallback(AvahiTimeout* timeout, void* self) {
    auto* connection = static_cast<AvahiConnection*>(self);
    connection->retry_ = nullptr;
    avahi_threaded_poll_get(connection->poll_)->timeout_free(timeout);
    if (connection->failed_ && connection->client_) avahi_client_free(connection->client_);
    if (connection->failed_ || !connection->client_) {
        connection->failed_ = false;
        connection->connect();
    }
}

void AvahiConnection::clientCallback(AvahiClient* client, AvahiClientState state, void* self) {
    auto* connection = static_cast<AvahiConnection*>(self);
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        connection->running_ = true;
        if (connection->hooks_.running) connection->hooks_.running(client);
        break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_CONNECTING:
        // The host name is being (re)established or the daemon is away: what was registered
        // must be registered again once the client runs.
        if (connection->running_) {
            connection->running_ = false;
            if (connection->hooks_.paused) connection->hooks_.paused(false);
        }
        break;
    case AVAHI_CLIENT_FAILURE:
        // Typically the daemon went away. Groups and browsers die with the client, which is
        // freed and made again from the retry timer (not here: this may run inside
        // avahi_client_new, or inside a call of the client's own).
        syslog(LOG_NOTICE, "DNS-SD: avahi client failed: %s", avahi_strerror(avahi_client_errno(client)));
        connection->running_ = false;
        if (connection->hooks_.paused) connection->hooks_.paused(true);
        connection->failed_ = true;
        connection->scheduleRetry();
        break;
    }
}

}  // namespace kl
