// The helper's package removal: the one package the app is installed by, and nothing else.
#include <sys/wait.h>

#include "RootHelper.h"
#include "platform/Process.h"

namespace kl::roothelper {

int removePackage() {
    // Fixed name: whoever runs the helper cannot make it remove another package.
    int status = runProgram({"/usr/bin/dpkg", "--remove", kPackageName});
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kExitOK : kExitFailed;
}

}  // namespace kl::roothelper
