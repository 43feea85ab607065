// The daemon's own removal: the files an installation put in place, and the end of its systemd
// job. Paths come from the generated installation header, under the system root (tests set one).
#pragma once

#include <filesystem>
#include <vector>

namespace kl {

struct PWInstalledFiles {
    std::vector<std::filesystem::path> units;  // the daemon's service and socket units
    std::filesystem::path autostartEntry;      // the screen service's
    std::filesystem::path program;             // the daemon itself
    std::filesystem::path socket;              // the control socket

    static PWInstalledFiles current();
};

// Removes what exists, in the order units, autostart entry, program, socket. A unit that cannot be
// removed is only logged; the first other failure stops the removals after it. True when nothing
// failed but the units.
bool removeInstalledFiles(const PWInstalledFiles& files);

// Removes the program only (an upgrade installs the new one beside the units that stay).
void removeInstalledProgram(const PWInstalledFiles& files);

// Stops and disables the daemon's units through systemctl when systemd runs the daemon; 0 when
// systemctl did so. Returns 1 when systemd does not run this process (the caller ends it).
int UnloadOurLaunchdJob();
bool runBySystemd();

}  // namespace kl
