#include "screen/server/SupportedResolutions.h"

#include "foundation/KLTLogging.h"
#include "platform/Files.h"
#include "platform/ValuePlist.h"

namespace kl {

std::vector<SupportedResolution> supportedResolutionsFromValue(const Value& list) {
    std::vector<SupportedResolution> result;
    const Array* entries = list.asArray();
    if (!entries) return result;
    for (const Value& entry : *entries) {
        const Value* width = entry.get("width");
        const Value* height = entry.get("height");
        const Value* mode = entry.get("modeID");
        if (!width || !height || !mode || !width->asDouble() || !height->asDouble() || !mode->asInt()) continue;
        SupportedResolution r;
        r.width = *width->asDouble();
        r.height = *height->asDouble();
        r.modeID = int(*mode->asInt());
        r.description = entry.stringOr("description", "");
        if (const Value* version = entry.get("supportedVersion")) {
            r.majorVersion = int(version->intOr("majorVersion", 0));
            r.minorVersion = int(version->intOr("minorVersion", 0));
            r.patchVersion = int(version->intOr("patchVersion", 0));
        }
        result.push_back(std::move(r));
    }
    return result;
}

std::optional<std::vector<SupportedResolution>> loadSupportedResolutions(const std::filesystem::path& file) {
    auto text = readFile(file);
    if (!text) return std::nullopt;
    auto value = valueFromPlist(*text);
    if (!value) {
        KLLog(kKLTLoggingLevelError, "SupportedResolutions: %s is not a property list", file.c_str());
        return std::nullopt;
    }
    return supportedResolutionsFromValue(*value);
}

SupportedResolution findBestResolutionForScreenSize(const std::vector<SupportedResolution>& list, double width,
                                                    double height) {
    const SupportedResolution* best = nullptr;
    for (const auto& entry : list) {
        // Component by component: up to the service's protocol 1.1.9.
        if (entry.majorVersion >= 2 || entry.minorVersion >= 2 || entry.patchVersion >= 10) continue;
        if (entry.width == width && entry.height == height) return entry;
        if (entry.width > width || entry.height > height) continue;
        if (!best || entry.width * entry.height >= best->width * best->height) best = &entry;
    }
    if (best) return *best;
    return {1024.0, 768.0, 1, "1024x768"};
}

}  // namespace kl
