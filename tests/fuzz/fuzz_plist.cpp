// libFuzzer target over property-list reading (binary and XML): what preferences, archives and
// property-list replies of the account server go through. Whatever decodes must write back out and
// decode again to the same value where the format can carry it.
#include <cstdint>
#include <string_view>

#include "platform/ValuePlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto value = kl::valueFromPlist(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    (void)value->description();
    auto written = kl::valueToPlist(*value, kl::PlistFormat::Binary);
    if (written) {
        auto again = kl::valueFromPlist(std::string_view(reinterpret_cast<const char*>(written->data()), written->size()));
        if (!again) __builtin_trap();
    }
    return 0;
}
