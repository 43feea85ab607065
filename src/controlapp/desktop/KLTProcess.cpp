#include "controlapp/desktop/KLTProcess.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <sstream>
#include <vector>

#include "platform/Files.h"

namespace kl {

namespace fs = std::filesystem;

namespace {

std::optional<long long> parseNumber(std::string_view text) {
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<uid_t> effectiveUid(const fs::path& statusFile) {
    auto text = readFile(statusFile, 64 * 1024);
    if (!text.ok()) return std::nullopt;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        long long real = -1, effective = -1;
        if (!(fields >> real >> effective) || effective < 0) return std::nullopt;
        return static_cast<uid_t>(effective);
    }
    return std::nullopt;
}

std::string userNameOf(uid_t uid, std::map<uid_t, std::string>& cache) {
    if (auto it = cache.find(uid); it != cache.end()) return it->second;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    std::string name = "user name not found";
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == 0 && result) name = result->pw_name;
    cache.emplace(uid, name);
    return name;
}

}  // namespace

bool KLTProcess::ownedByCurrentUser() const { return uid == ::getuid(); }

bool KLTProcess::terminate() const {
    if (pid <= 0 || pid == ::getpid()) return false;
    return ::kill(pid, SIGTERM) == 0;
}

int KLTProcess::terminateOwnProcessesRunning(const std::string& programName, const fs::path& procRoot) {
    auto table = getCurrentProcesses(procRoot);
    if (!table) return 0;  // no table, no owner known: nothing is terminated
    int signalled = 0;
    for (const auto& [pid, process] : *table) {
        if (!process.ownedByCurrentUser()) continue;
        std::error_code error;
        fs::path program = fs::read_symlink(procRoot / std::to_string(pid) / "exe", error);
        if (error || program.filename() != programName) continue;
        if (process.terminate()) ++signalled;
    }
    return signalled;
}

std::optional<std::map<pid_t, KLTProcess>> KLTProcess::getCurrentProcesses(const fs::path& procRoot) {
    std::error_code error;
    fs::directory_iterator it(procRoot, error);
    if (error) return std::nullopt;
    std::map<pid_t, KLTProcess> table;
    std::map<uid_t, std::string> names;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) return std::nullopt;
        auto pid = parseNumber(it->path().filename().string());
        if (!pid || *pid <= 0) continue;
        auto uid = effectiveUid(it->path() / "status");
        auto comm = readFile(it->path() / "comm", 4096);
        if (!uid || !comm.ok()) continue;  // gone meanwhile
        KLTProcess process;
        process.pid = static_cast<pid_t>(*pid);
        process.uid = *uid;
        process.userName = userNameOf(*uid, names);
        process.processName = *comm;
        if (!process.processName.empty() && process.processName.back() == '\n') process.processName.pop_back();
        table.emplace(process.pid, std::move(process));
    }
    return table;
}

}  // namespace kl
