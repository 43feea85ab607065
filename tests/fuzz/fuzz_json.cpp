// libFuzzer target over JSON reading (the account server's replies). A decoded value must write
// back out as JSON that decodes again.
#include <cstdint>
#include <string_view>

#include "platform/ValueJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kl::JsonParseOptions options;
    options.requireContainer = size > 0 && (data[0] & 1);
    auto value = kl::valueFromJson(std::string_view(reinterpret_cast<const char*>(data), size), options);
    if (!value) return 0;
    auto text = kl::valueToJson(*value);
    if (!kl::valueFromJson(text)) __builtin_trap();
    return 0;
}
