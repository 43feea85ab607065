// One display of the host, and the class-wide list of active displays (primary first) with the
// geometry and name lookups the service asks of the platform. Display identifiers are the RandR
// monitors' name atoms.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "screen/KLGeometry.h"

namespace kl {

inline constexpr uint32_t kUnknownFramebufferIndex = 0xFFFFFFFF;
inline constexpr int kCGErrorSuccess = 0;
inline constexpr int kCGErrorFailure = 1000;
inline constexpr int kCGErrorIllegalArgument = 1001;

// Global bounds of a display; zero rectangle and an error for an unknown one.
int GetCGSScreenBounds(uint32_t displayID, Rect* bounds);

class KLTScreen {
public:
    KLTScreen() = default;
    explicit KLTScreen(uint32_t displayID) : mScreenNumber(displayID) {}
    virtual ~KLTScreen() = default;

    // Bounds flipped to a bottom-left origin (as the older drawing code expects).
    virtual Rect frame();
    virtual uint32_t displayID() { return static_cast<uint32_t>(mScreenNumber); }
    virtual Size displaySizeInPixels();
    virtual std::vector<Rect> arrayOfScreenBounds();
    virtual int64_t framebufferIndex();
    virtual std::string userDescription();
    virtual void setDisplayMode(int mode);
    virtual Rect scaleCorrectedDisplayBounds();
    virtual double scale();

    static uint32_t framebufferIndexClass() { return kUnknownFramebufferIndex; }
    // The active displays, primary first. The same objects come back until the displays change;
    // then the list is brought up to date in place (unchanged displays keep their objects).
    static std::vector<std::shared_ptr<KLTScreen>> screens();
    static void resetScreens();
    static std::string userDescriptionForDisplayID(uint32_t displayID);
    static uint32_t framebufferIndexForDisplayID(uint32_t displayID);
    static std::optional<std::string> copyDisplayNameForDisplayID(uint32_t displayID);
    static double zeroScreenHeight();
    static Rect scaleCorrectedDisplayBoundsForDisplayID(uint32_t displayID);
    // Always 1.0: the service sends one pixel per point.
    static double scaleForDisplayID(uint32_t displayID);
    static std::optional<Value> deviceDescriptionForDisplayID(uint32_t displayID);
    // Usable modes, HiDPI duplicates removed, sorted with CompareModes when asked; nothing when the
    // display has no output. With filterActiveModes false no mode is kept.
    static std::optional<std::vector<Value>> modesForDisplayID(uint32_t displayID, bool filterActiveModes,
                                                               bool sortModes);
    static std::optional<Value> findBestHiDPIModeForDisplayID(uint32_t displayID);
    static std::optional<Value> findBestModeForDisplayID(uint32_t displayID);
    static bool hiDPIForDevice(uint32_t displayID);
    static bool switchDisplayIDToMode(uint32_t displayID, const Value& mode);

protected:
    int64_t mScreenNumber = 0;
    int64_t mDriverIndex = -1;
};

}  // namespace kl
