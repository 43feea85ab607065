// The process's one cookie store, shared by every request of every client: cookies set by a
// response are kept in memory and sent again to the same host. It outlives any one client, so a
// client made again for the same server still has its session.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

typedef void CURLSH;

namespace kl {

struct KLHTTPCookie {
    std::string name;
    std::string value;
    // Host the cookie belongs to, without a leading dot.
    std::string domain;
    std::string path = "/";
    // Also sent to subdomains of domain.
    bool includesSubdomains = false;
    bool secure = false;
    bool httpOnly = false;
    // Seconds since 1970; 0 for a cookie that lasts as long as the process (a session cookie).
    int64_t expiresDate = 0;
};

class KLHTTPCookieStorage {
public:
    // Created on first use, never destroyed.
    static KLHTTPCookieStorage& sharedStorage();

    std::vector<KLHTTPCookie> cookies() const;
    // The cookies a request to url would carry.
    std::vector<KLHTTPCookie> cookiesForURL(std::string_view url) const;
    // Stores a cookie, replacing one of the same name, domain and path.
    bool setCookie(const KLHTTPCookie& cookie);
    void deleteCookie(const KLHTTPCookie& cookie);
    void deleteAllCookies();

    // The libcurl share that carries the cookies of every transfer.
    CURLSH* curlShare() const { return share_; }

private:
    KLHTTPCookieStorage();
    bool applyCookieListCommand(const std::string& command) const;

    CURLSH* share_ = nullptr;
    // One per kind of libcurl shared data (CURL_LOCK_DATA_LAST kinds in this libcurl).
    std::mutex shareLocks_[8];
};

}  // namespace kl
