// Display names and image names of computer models, from the "ComputerModels" table: "Names"
// (identifier or identifier prefix -> name), "GenericNames" (prefixes in priority order) and
// "Images" (identifier or prefix -> image name). The table also holds Linux DMI product names.
//
// Loaded once, on first use, from share/ComputerModels.plist beside the program's folder; a
// missing or unreadable table leaves every model unidentified with the "generic" image.
#pragma once

#include <filesystem>
#include <string>

#include "platform/Value.h"

namespace kl {

struct KLTComputerModels {
    static std::string stringWithComputerModel(const std::string& model);
    // The display name cut just before its first "(" (whole when it has none or starts with it).
    static std::string conciseStringWithComputerModel(const std::string& model);
    static std::string imageNameWithComputerModel(const std::string& model);

    // Replaces the table (tests, and the program's own start-up); a non-dictionary empties it.
    static void setTable(const Value& table);
    static bool loadTable(const std::filesystem::path& file);
};

}  // namespace kl
