#include "tunnel/sockcore/bufchain.h"

#include <algorithm>
#include <cstring>

#include "tunnel/sockcore/SafeMemory.h"

namespace kl {

bufchain::~bufchain() { bufchain_clear(this); }

void bufchain_init(bufchain* ch) {
    ch->head = ch->tail = nullptr;
    ch->buffersize = 0;
}

void bufchain_clear(bufchain* ch) {
    while (ch->head) {
        bufchain_granule* next = ch->head->next;
        safefree(ch->head);
        ch->head = next;
    }
    ch->tail = nullptr;
    ch->buffersize = 0;
}

size_t bufchain_size(const bufchain* ch) { return ch->buffersize; }

void bufchain_add(bufchain* ch, const void* data, size_t len) {
    if (len == 0) return;
    auto* bytes = static_cast<const char*>(data);
    ch->buffersize += len;
    if (ch->tail && ch->tail->buflen < BUFFER_GRANULE) {
        size_t copy = std::min(len, size_t(BUFFER_GRANULE - ch->tail->buflen));
        std::memcpy(ch->tail->buf + ch->tail->buflen, bytes, copy);
        ch->tail->buflen += int(copy);
        bytes += copy;
        len -= copy;
    }
    while (len > 0) {
        size_t copy = std::min(len, size_t(BUFFER_GRANULE));
        auto* granule = static_cast<bufchain_granule*>(safemalloc(1, sizeof(bufchain_granule)));
        granule->next = nullptr;
        granule->buflen = int(copy);
        granule->bufpos = 0;
        std::memcpy(granule->buf, bytes, copy);
        if (ch->tail) ch->tail->next = granule;
        else ch->head = granule;
        ch->tail = granule;
        bytes += copy;
        len -= copy;
    }
}

void bufchain_prefix(bufchain* ch, void** data, int* len) {
    *data = ch->head->buf + ch->head->bufpos;
    *len = ch->head->buflen - ch->head->bufpos;
}

void bufchain_consume(bufchain* ch, size_t len) {
    len = std::min(len, ch->buffersize);
    ch->buffersize -= len;
    while (len > 0) {
        bufchain_granule* head = ch->head;
        size_t available = size_t(head->buflen - head->bufpos);
        if (len < available) {
            head->bufpos += int(len);
            return;
        }
        len -= available;
        ch->head = head->next;
        if (!ch->head) ch->tail = nullptr;
        safefree(head);
    }
}

void bufchain_fetch(const bufchain* ch, void* data, size_t len) {
    auto* out = static_cast<char*>(data);
    for (const bufchain_granule* g = ch->head; g && len > 0; g = g->next) {
        size_t copy = std::min(len, size_t(g->buflen - g->bufpos));
        std::memcpy(out, g->buf + g->bufpos, copy);
        out += copy;
        len -= copy;
    }
}

int bufchain_iovecs(const bufchain* ch, struct iovec* iov, int max) {
    int count = 0;
    for (const bufchain_granule* g = ch->head; g && count < max; g = g->next, ++count) {
        iov[count].iov_base = const_cast<char*>(g->buf + g->bufpos);
        iov[count].iov_len = size_t(g->buflen - g->bufpos);
    }
    return count;
}

}  // namespace kl
