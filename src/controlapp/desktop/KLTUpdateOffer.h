// Offering a found update: an Install/Later question, then the download, checks and install, and
// on success a relaunch from the new bundle.
#pragma once

#include <functional>

#include "controlapp/desktop/KLTPortweaverUpdater.h"

namespace kl {

// The Install/Later message box; true for Install.
bool askToInstallUpdate(const AppcastItem& item);

// Asks; on Install installs item and, when that worked, calls relaunch. done (may be empty) gets
// the install's result, or false when the user chose Later.
void offerUpdate(KLTPortweaverUpdater& updater, const AppcastItem& item,
                 const std::function<bool(const AppcastItem&)>& ask, std::function<void()> relaunch,
                 KLTPortweaverUpdater::Completion done = {});

}  // namespace kl
