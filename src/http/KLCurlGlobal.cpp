#include "http/KLCurlGlobal.h"

#include <curl/curl.h>

#include <mutex>

namespace kl {

void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace kl
