#include <unistd.h>

#include <string>
#include <vector>

#include "RootHelper.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return kl::roothelper::run(args);
}
