// A private Xvfb for tests, on a display number the server picks itself (-displayfd), so that
// parallel test binaries never collide; its messages go to /dev/null.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kl::test {

inline constexpr const char* kXvfbPath = "/usr/bin/Xvfb";

class XvfbServer {
public:
    // extra: more server arguments (a screen size, -noreset, an extension switched off).
    explicit XvfbServer(const std::vector<std::string>& extra = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", or empty when the server did not come up within ten seconds.
    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace kl::test
