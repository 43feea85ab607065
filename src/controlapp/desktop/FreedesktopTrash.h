// Moving a file or folder into the user's freedesktop Trash ($XDG_DATA_HOME/Trash), with the
// .trashinfo record that lets a file manager restore it.
#pragma once

#include <filesystem>

namespace kl {

// False (and logged "ERROR -- Could not trash '<path>'") when it could not be moved.
bool moveToTrash(const std::filesystem::path& path);

}  // namespace kl
