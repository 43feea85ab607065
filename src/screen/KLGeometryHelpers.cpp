#include "screen/KLGeometryHelpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace kl {

bool CGPointProximateWithin(Point a, Point b, double d) {
    float dx = static_cast<float>(std::fabs(a.x - b.x));
    float dy = static_cast<float>(std::fabs(a.y - b.y));
    return d >= std::sqrt(dx * dx + dy * dy);
}

namespace {
std::mutex& intervalMutex() {
    static std::mutex m;
    return m;
}
DoubleClickIntervalSource& intervalSource() {
    static DoubleClickIntervalSource source;
    return source;
}
constexpr double kDefaultDoubleClickInterval = 0.4;
}  // namespace

void setDoubleClickIntervalSource(DoubleClickIntervalSource source) {
    std::lock_guard lock(intervalMutex());
    intervalSource() = std::move(source);
}

double doubleClickInterval() {
    DoubleClickIntervalSource source;
    {
        std::lock_guard lock(intervalMutex());
        source = intervalSource();
    }
    if (source) {
        if (auto seconds = source(); seconds && *seconds > 0) return *seconds;
    }
    return kDefaultDoubleClickInterval;
}

bool isDoubleClick(double interval) { return interval <= doubleClickInterval(); }

std::string NSStringFromCGPoint(Point p) {
    char text[80];
    std::snprintf(text, sizeof text, "{ %g, %g }", p.x, p.y);
    return text;
}

std::string NSStringFromCGSize(Size s) {
    char text[80];
    std::snprintf(text, sizeof text, "{ %g, %g }", s.width, s.height);
    return text;
}

std::string NSStringFromCGRect(const Rect& r) {
    return "{ " + NSStringFromCGPoint(r.origin) + ", " + NSStringFromCGSize(r.size) + " }";
}

Rect NSRectSizeRectInRect(const Rect& r, const Rect& container, bool expand) {
    double ratio = r.size.width / r.size.height;
    Rect byWidth(0, 0, container.size.width, container.size.width / ratio);
    Rect byHeight(0, 0, ratio * container.size.height, container.size.height);
    return expand ? byWidth.unionWith(byHeight) : byWidth.intersection(byHeight);
}

Rect NSRectFitRectInRect(const Rect& r, const Rect& container, bool expand) {
    Rect sized = NSRectSizeRectInRect(r, container, expand);
    double cx = container.origin.x + container.size.width / 2, cy = container.origin.y + container.size.height / 2;
    return Rect(cx - sized.size.width / 2, cy - sized.size.height / 2, sized.size.width, sized.size.height);
}

Rect NSRectFromSize(Size s) { return Rect(0, 0, s.width, s.height); }

bool hasPrefixCaseless(std::string_view string, std::string_view prefix) {
    if (prefix.size() > string.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(string[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::optional<std::string> stringIPAddresWithSockAddr(const sockaddr* address) {
    if (!address) return std::nullopt;
    char text[46] = {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return std::string(text);
}

}  // namespace kl
