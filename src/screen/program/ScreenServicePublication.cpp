#include "screen/program/ScreenServicePublication.h"

#include <unistd.h>

#include <climits>
#include <string>

#include "foundation/KLDevice.h"
#include "foundation/KLTLogging.h"

namespace kl {
namespace {

// A DNS-SD label holds 63 bytes: a longer pretty name is cut at a character boundary.
std::string fitLabel(std::string name) {
    constexpr size_t kMaxLabelBytes = 63;
    if (name.size() <= kMaxLabelBytes) return name;
    size_t end = kMaxLabelBytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return name.substr(0, end);
}

std::string computerName() {
    if (auto name = KLDevice::deviceName(); name && !name->empty()) return fitLabel(*name);
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
    return "deskgate";
}

}  // namespace

std::unique_ptr<ScreenServicePublication> ScreenServicePublication::publish(MainLoop& loop, uint16_t port) {
    auto publisher = DnsSdPublisher::create([&loop](Task task) { loop.post(std::move(task)); });
    DnsSdService service{computerName(), kMirroredScreenServiceName, port, true};
    auto id = publisher->publish(service, [](DnsSdPublishEvent event, const std::string& name) {
        if (event == DnsSdPublishEvent::Registered)
            KLLog(kKLTLoggingLevelInfo, "Published %s as \"%s\"", kMirroredScreenServiceName, name.c_str());
        else
            KLLog(kKLTLoggingLevelError, "Publishing %s as \"%s\" failed", kMirroredScreenServiceName, name.c_str());
    });
    if (!id) KLLog(kKLTLoggingLevelError, "%s cannot be published on port %u", kMirroredScreenServiceName, unsigned(port));
    return std::unique_ptr<ScreenServicePublication>(new ScreenServicePublication(std::move(publisher), id));
}

ScreenServicePublication::~ScreenServicePublication() {
    if (id_) publisher_->withdraw(id_);
}

}  // namespace kl
