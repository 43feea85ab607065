// Who may run the privileged control commands: root, or a member of an administrators' group
// ("sudo", "wheel" or "admin").
#pragma once

#include <sys/types.h>

namespace kl {

bool isAdministrator(uid_t uid);

}  // namespace kl
