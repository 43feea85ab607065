// Small helpers shared by the registrar's source files.
#pragma once

#include <memory>

#include "http/KLHTTPRequestOperation.h"

namespace kl {

// The reply's HTTP status, 0 when there was none.
inline long statusOf(const std::shared_ptr<KLHTTPRequestOperation>& operation) {
    if (!operation) return 0;
    auto response = operation->response();
    return response ? response->statusCode : 0;
}

}  // namespace kl
