#include "screen/DisplayModes.h"

namespace kl {

const std::array<DisplayModeSize, 67> DisplayModeArray = {{
    {0, 0},       {1024, 768},  {768, 1024},  {480, 320},   {320, 480},   {960, 640},   {640, 960},
    {1, 1},       {640, 480},   {1280, 720},  {800, 480},   {1200, 800},  {1024, 640},  {1024, 600},
    {1024, 576},  {1600, 768},  {1366, 768},  {1280, 768},  {800, 500},   {1280, 800},  {1280, 960},
    {1280, 1024}, {1344, 840},  {1344, 1008}, {1440, 900},  {1440, 960},  {1440, 1080}, {1600, 1024},
    {1680, 1050}, {1600, 1200}, {1920, 1080}, {1920, 1200}, {1920, 1400}, {1920, 1440}, {2048, 1536},
    {2048, 1280}, {2304, 1440}, {2560, 1440}, {2560, 1600}, {2560, 2048}, {1024, 580},  {600, 1004},
    {1280, 752},  {800, 1232},  {480, 800},   {1280, 740},  {800, 1220},  {1024, 540},  {600, 964},
    {800, 540},   {600, 740},   {800, 420},   {480, 740},   {1280, 660},  {720, 1220},  {1536, 2048},
    {1692, 1128}, {1128, 1692}, {568, 320},   {320, 568},   {1136, 640},  {640, 1136},  {2880, 1800},
    {2048, 2560}, {1500, 2400}, {2400, 1500}, {800, 1200},
}};

Size sizeOfMode(int mode) {
    if (mode < 0 || mode >= int(DisplayModeArray.size())) return {};
    return {double(DisplayModeArray[mode].width), double(DisplayModeArray[mode].height)};
}

uint32_t displayModeForSize(Size size) {
    for (uint32_t i = 1; i < DisplayModeArray.size(); ++i)
        if (DisplayModeArray[i].width == size.width && DisplayModeArray[i].height == size.height) return i;
    return 0;
}

std::vector<int> compatibleModesForiPhoneRetinaDisplayWithOrientation(int orientation, bool useRetina, bool tallPhone) {
    static const int modes[2][2][2] = {{{4, 3}, {59, 58}}, {{6, 5}, {61, 60}}};  // [retina][tall][landscape]
    return {modes[useRetina][tallPhone][orientation != 0]};
}

std::vector<int> compatibleModesForiPadRetinaDisplayWithOrientation(int orientation, bool useRetina) {
    static const int modes[2][2] = {{2, 1}, {55, 34}};  // [retina][landscape]
    return {modes[useRetina][orientation != 0]};
}

Value newModeFromModeDescription(const X11Mode& mode, uint32_t index) {
    Dictionary d;
    d.set("Width", Value(uint64_t(mode.width)));
    d.set("Height", Value(uint64_t(mode.height)));
    d.set("Mode", Value(uint64_t(index)));
    d.set("BitsPerPixel", Value(uint64_t(32)));
    d.set("BitsPerSample", Value(uint64_t(8)));
    d.set("SamplesPerPixel", Value(uint64_t(3)));
    d.set("RefreshRate", Value(mode.refresh));
    d.set("IOFlags", Value(uint64_t(mode.flags)));
    d.set("kCGDisplayBytesPerRow", Value(uint64_t(mode.width) * 4));
    d.set("IODisplayModeID", Value(uint64_t(mode.id)));
    d.set("UsableForDesktopGUI", Value(!mode.doubleScan));
    d.set("kCGDisplayPixelsWide", Value(uint64_t(mode.width)));
    d.set("kCGDisplayPixelsHigh", Value(uint64_t(mode.height)));
    d.set("kCGDisplayResolution", Value(1.0));
    d.set("kCGDisplayHorizontalResolution", Value(uint64_t(72)));
    d.set("kCGDisplayVerticalResolution", Value(uint64_t(72)));
    d.set("kCGDisplayModeIsSafeForHardware", Value(true));
    if (mode.interlaced) d.set("kCGDisplayModeIsInterlaced", Value(true));
    return Value(std::move(d));
}

namespace {
int compareNumbers(double a, double b) { return a < b ? -1 : a > b ? 1 : 0; }
}  // namespace

int CompareModes(const Value& a, const Value& b) {
    auto number = [](const Value& mode, const char* key) -> std::optional<double> {
        const Value* v = mode.get(key);
        if (!v) return std::nullopt;
        if (auto b = v->asBool()) return *b ? 1.0 : 0.0;
        return v->asDouble();
    };
    // Both present: compare; either missing: equal.
    for (auto [key, widerFirst] : {std::pair{"Width", true}, {"Height", true}}) {
        auto va = number(a, key), vb = number(b, key);
        if (!va || !vb) return 0;
        if (int c = widerFirst ? compareNumbers(*vb, *va) : compareNumbers(*va, *vb)) return c;
    }
    auto bitsA = number(a, "BitsPerPixel"), bitsB = number(b, "BitsPerPixel");
    if (!bitsA || !bitsB) return 0;
    if (int c = compareNumbers(*bitsA, *bitsB)) return c;
    // Present on stretched modes only: a missing key sorts first.
    auto presence = [&](const char* key, bool equalIsOne) {
        auto va = number(a, key), vb = number(b, key);
        if (!va && !vb) return 0;
        if (!va) return -1;
        if (!vb) return 1;
        int c = compareNumbers(*va, *vb);
        return c == 0 && equalIsOne ? 1 : c;
    };
    auto stretched = number(a, "kCGDisplayModeIsStretched"), stretchedB = number(b, "kCGDisplayModeIsStretched");
    if (!stretched && !stretchedB) return 0;
    if (int c = presence("kCGDisplayModeIsStretched", false)) return c;
    return presence("kCGDisplayResolution", true);
}

}  // namespace kl
