// Opening an application the way a desktop does: the program runs in a session of its own and is
// handed to init at once, so it outlives the app and never lingers as the app's zombie.
#pragma once

#include <filesystem>

namespace kl {

// Starts program (no arguments, this process's environment, standard input from /dev/null).
// 0 once the program is running, else the errno of what failed (ENOENT for a missing program).
int openApplicationDetached(const std::filesystem::path& program);

}  // namespace kl
