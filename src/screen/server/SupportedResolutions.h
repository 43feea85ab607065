// The display sizes the service offers a viewer that asks for a size rather than a mode: the
// "SupportedResolutions" list shipped with the program, and the choice of the best entry for a
// requested size.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace kl {

struct SupportedResolution {
    double width = 0;
    double height = 0;
    int modeID = 0;
    std::string description;
    // The oldest service protocol the entry is meant for; an entry without one counts as 0.0.0.
    int majorVersion = 0, minorVersion = 0, patchVersion = 0;
};

// The entries of the list's array of dictionaries; entries without a usable width, height or
// mode are left out.
std::vector<SupportedResolution> supportedResolutionsFromValue(const Value& list);
// The list read from a property-list file; nothing when it cannot be read.
std::optional<std::vector<SupportedResolution>> loadSupportedResolutions(const std::filesystem::path& file);

// Among the entries meant for protocol 1.1.9 or older: the one of exactly the requested size, else
// the largest by area that fits the request in both dimensions (a later one of equal area wins),
// else 1024 x 768 (mode 1).
SupportedResolution findBestResolutionForScreenSize(const std::vector<SupportedResolution>& list, double width,
                                                    double height);

}  // namespace kl
