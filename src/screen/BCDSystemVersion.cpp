#include "screen/BCDSystemVersion.h"

#include <cstdlib>
#include <fstream>

namespace kl {

uint32_t packSystemVersion(const std::string& dotted) {
    unsigned parts[3] = {10, 0, 0};
    const char* p = dotted.c_str();
    for (int i = 0; i < 3; ++i) {
        char* end;
        unsigned long v = std::strtoul(p, &end, 10);
        if (end == p) {
            if (i == 0) return 0x0A0000;
            break;
        }
        parts[i] = unsigned(v);
        if (*end != '.') {
            for (int j = i + 1; j < 3; ++j) parts[j] = 0;
            break;
        }
        p = end + 1;
    }
    return (parts[0] & 0xFF) << 16 | (parts[1] & 0xFF) << 8 | (parts[2] & 0xFF);
}

uint32_t BCDSystemVersionFunction() {
    std::ifstream file("/etc/debian_version");
    std::string line;
    if (file && std::getline(file, line)) return packSystemVersion(line);
    return 0x0A0000;
}

}  // namespace kl
