// libcurl's process-wide initialisation, done once before the first handle is made.
#pragma once

namespace kl {
void ensureCurlGlobalInit();
}
