#include "http/KLHTTPCookieStorage.h"

#include <curl/curl.h>

#include <charconv>
#include <ctime>

#include "foundation/KLTLogging.h"
#include "http/KLCurlGlobal.h"
#include "http/KLURL.h"
#include "http/KLURLRequest.h"

namespace kl {
namespace {

// libcurl takes one lock per kind of shared data and may hold two kinds at once.
std::mutex& shareLock(void* user, curl_lock_data data) {
    auto* locks = static_cast<std::mutex*>(user);
    return locks[data < CURL_LOCK_DATA_LAST ? data : 0];
}
void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) { shareLock(user, data).lock(); }
void unlockShare(CURL*, curl_lock_data data, void* user) { shareLock(user, data).unlock(); }

std::vector<std::string_view> splitTabs(std::string_view line) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    return parts;
}

// One line of libcurl's cookie list (the Netscape cookie-file format).
bool parseCookieLine(std::string_view line, KLHTTPCookie& cookie) {
    auto parts = splitTabs(line);
    if (parts.size() < 7) return false;
    std::string_view domain = parts[0];
    constexpr std::string_view httpOnlyPrefix = "#HttpOnly_";
    if (domain.starts_with(httpOnlyPrefix)) {
        cookie.httpOnly = true;
        domain.remove_prefix(httpOnlyPrefix.size());
    }
    if (domain.starts_with('.')) domain.remove_prefix(1);
    cookie.domain = std::string(domain);
    cookie.includesSubdomains = parts[1] == "TRUE";
    cookie.path = std::string(parts[2]);
    cookie.secure = parts[3] == "TRUE";
    int64_t expires = 0;
    std::from_chars(parts[4].data(), parts[4].data() + parts[4].size(), expires);
    cookie.expiresDate = expires;
    cookie.name = std::string(parts[5]);
    cookie.value = std::string(parts[6]);
    return true;
}

std::string cookieLine(const KLHTTPCookie& cookie, int64_t expires) {
    std::string domain = cookie.includesSubdomains ? "." + cookie.domain : cookie.domain;
    if (cookie.httpOnly) domain = "#HttpOnly_" + domain;
    return domain + "\t" + (cookie.includesSubdomains ? "TRUE" : "FALSE") + "\t" + cookie.path + "\t" +
           (cookie.secure ? "TRUE" : "FALSE") + "\t" + std::to_string(expires) + "\t" + cookie.name + "\t" +
           cookie.value;
}

bool domainMatches(const KLHTTPCookie& cookie, const std::string& host) {
    if (equalsIgnoringCase(cookie.domain, host)) return true;
    if (!cookie.includesSubdomains || host.size() <= cookie.domain.size()) return false;
    std::string_view tail = std::string_view(host).substr(host.size() - cookie.domain.size());
    return host[host.size() - cookie.domain.size() - 1] == '.' && equalsIgnoringCase(tail, cookie.domain);
}

bool pathMatches(const std::string& cookiePath, const std::string& requestPath) {
    if (cookiePath.empty() || cookiePath == "/") return true;
    if (!requestPath.starts_with(cookiePath)) return false;
    return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

// A transient easy handle attached to the share: libcurl reads and edits shared cookies only
// through one.
struct ShareHandle {
    explicit ShareHandle(CURLSH* share) : easy(curl_easy_init()) {
        if (easy) curl_easy_setopt(easy, CURLOPT_SHARE, share);
    }
    ~ShareHandle() {
        if (easy) curl_easy_cleanup(easy);
    }
    CURL* easy;
};

}  // namespace

KLHTTPCookieStorage& KLHTTPCookieStorage::sharedStorage() {
    static KLHTTPCookieStorage* storage = new KLHTTPCookieStorage();  // never destroyed: transfers use it at exit
    return *storage;
}

static_assert(CURL_LOCK_DATA_LAST <= 8, "one lock per kind of shared data");

KLHTTPCookieStorage::KLHTTPCookieStorage() {
    ensureCurlGlobalInit();
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, lockShare);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, unlockShare);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, shareLocks_);
}

std::vector<KLHTTPCookie> KLHTTPCookieStorage::cookies() const {
    std::vector<KLHTTPCookie> result;
    ShareHandle handle(share_);
    if (!handle.easy) return result;
    struct curl_slist* list = nullptr;
    if (curl_easy_getinfo(handle.easy, CURLINFO_COOKIELIST, &list) != CURLE_OK) return result;
    for (auto* item = list; item; item = item->next) {
        KLHTTPCookie cookie;
        if (item->data && parseCookieLine(item->data, cookie)) result.push_back(std::move(cookie));
    }
    curl_slist_free_all(list);
    return result;
}

std::vector<KLHTTPCookie> KLHTTPCookieStorage::cookiesForURL(std::string_view url) const {
    std::string host = url::host(url);
    std::string path = url::path(url);
    bool https = url.starts_with("https:");
    int64_t now = int64_t(std::time(nullptr));
    std::vector<KLHTTPCookie> result;
    for (auto& cookie : cookies()) {
        if (!domainMatches(cookie, host) || !pathMatches(cookie.path, path)) continue;
        if (cookie.secure && !https) continue;
        if (cookie.expiresDate != 0 && cookie.expiresDate <= now) continue;
        result.push_back(std::move(cookie));
    }
    return result;
}

bool KLHTTPCookieStorage::applyCookieListCommand(const std::string& command) const {
    ShareHandle handle(share_);
    if (!handle.easy) return false;
    return curl_easy_setopt(handle.easy, CURLOPT_COOKIELIST, command.c_str()) == CURLE_OK;
}

bool KLHTTPCookieStorage::setCookie(const KLHTTPCookie& cookie) {
    auto unsafe = [](const std::string& s) { return s.find_first_of("\t\r\n") != std::string::npos; };
    if (cookie.name.empty() || cookie.domain.empty() || unsafe(cookie.name) || unsafe(cookie.value) ||
        unsafe(cookie.domain) || unsafe(cookie.path)) {
        KLLog(kKLTLoggingLevelError, "Refusing to store a malformed cookie \"%s\"", cookie.name.c_str());
        return false;
    }
    return applyCookieListCommand(cookieLine(cookie, cookie.expiresDate));
}

void KLHTTPCookieStorage::deleteCookie(const KLHTTPCookie& cookie) {
    // A cookie that expired long ago replaces the stored one, and libcurl drops expired cookies.
    applyCookieListCommand(cookieLine(cookie, 1));
}

void KLHTTPCookieStorage::deleteAllCookies() { applyCookieListCommand("ALL"); }

}  // namespace kl
