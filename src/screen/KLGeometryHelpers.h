// Geometry, text and small helpers the screen service shares between its parts.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Executors.h"
#include "platform/Signal.h"
#include "screen/KLGeometry.h"

namespace kl {

// True when d is at least the distance between a and b (measured in 32-bit floats, as taps are).
bool CGPointProximateWithin(Point a, Point b, double d);

// The desktop's double-click interval in seconds; a source answers nullopt when it has none (no
// settings manager running), and then 400 ms holds.
using DoubleClickIntervalSource = std::function<std::optional<double>()>;
void setDoubleClickIntervalSource(DoubleClickIntervalSource source);
double doubleClickInterval();
bool isDoubleClick(double interval);

// Text forms for logs: "{ x, y }", "{ w, h }", "{ { x, y }, { w, h } }".
std::string NSStringFromCGPoint(Point p);
std::string NSStringFromCGSize(Size s);
std::string NSStringFromCGRect(const Rect& r);

// The largest rectangle of r's proportions at (0, 0) that fits the container (expand false), or
// the smallest that covers it (expand true).
Rect NSRectSizeRectInRect(const Rect& r, const Rect& container, bool expand);
// As above, centred on the container's centre.
Rect NSRectFitRectInRect(const Rect& r, const Rect& container, bool expand);
Rect NSRectFromSize(Size s);

// ASCII case-insensitive prefix test.
bool hasPrefixCaseless(std::string_view string, std::string_view prefix);

// Numeric text of an IPv4 or IPv6 socket address; "" for another family, nullopt for null.
std::optional<std::string> stringIPAddresWithSockAddr(const sockaddr* address);

// Emits at once when called on the loop's thread; otherwise posts the emission to the loop, waiting
// for it only when asked. The signal must outlive the posted emission (notification signals are
// process-wide).
template <class... Args>
void postNotificationOnMainThread(MainLoop& loop, Signal<Args...>& signal, bool waitUntilDone, Args... args) {
    if (loop.isCurrentThread()) {
        signal.emit(args...);
        return;
    }
    if (!waitUntilDone) {
        loop.post([&signal, args...] { signal.emit(args...); });
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    loop.post([&signal, done, args...] {
        signal.emit(args...);
        done->set_value();
    });
    finished.wait();
}

template <class... Args>
void postNotificationOnMainThread(MainLoop& loop, Signal<Args...>& signal, Args... args) {
    postNotificationOnMainThread(loop, signal, false, std::move(args)...);
}

// Element access that answers null (or does nothing) past the end instead of failing.
template <class T>
const T* checkedObjectAtIndex(const std::vector<T>& array, size_t index) {
    return index < array.size() ? &array[index] : nullptr;
}
template <class T>
void checkedReplaceObjectAtIndex(std::vector<T>& array, size_t index, T object) {
    if (index < array.size()) array[index] = std::move(object);
}

// Lists of window numbers: plain values, compared by value, described by their type name.
using CGWindowID = uint32_t;
using CGWindowIDArray = std::vector<CGWindowID>;
inline std::string CGWindowIDCopyDescriptionCallBack(CGWindowID) { return "CGWindowID"; }
inline bool CGWindowIDEqualCallBack(CGWindowID a, CGWindowID b) { return a == b; }

}  // namespace kl
