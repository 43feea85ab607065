// One running instance per session: an exclusive lock on a file in the session's runtime folder,
// held for the life of the process (the kernel lets it go when the process ends, however it ends).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace kl {

class SingleInstanceLock {
public:
    // The lock, or null when another process (or another holder in this one) has it or the file
    // cannot be opened. A link planted at the path is not followed. heldElsewhere, when given,
    // tells the first case from the second.
    static std::unique_ptr<SingleInstanceLock> acquire(const std::filesystem::path& path,
                                                       bool* heldElsewhere = nullptr);
    // "$XDG_RUNTIME_DIR/<name>.lock" (without the variable, the runtime folder of kl::paths).
    static std::filesystem::path pathForProgram(const std::string& name);

    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

private:
    explicit SingleInstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace kl
