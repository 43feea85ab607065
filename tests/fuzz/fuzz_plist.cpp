// libFuzzer target over property-list reading (binary and XML): what preferences, archives and
// property-list replies of the account server go through, and writing back what was read (its
// strings need not be valid UTF-8, so reading that back may fail; it must not crash).
#include <cstdint>
#include <string_view>

#include "platform/ValuePlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto value = kl::valueFromPlist(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    (void)value->description();
    auto written = kl::valueToPlist(*value, kl::PlistFormat::Binary);
    if (written)
        (void)kl::valueFromPlist(std::string_view(reinterpret_cast<const char*>(written->data()), written->size()));
    return 0;
}
