#include "foundation/KLTLogging.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace kl {
namespace {

constexpr size_t kMemoryLogCapacity = 20000;

std::atomic<LogSink> gSink{LogSink::Syslog};
std::atomic<bool> gAssertAborts{false};

struct MemoryLog {
    std::mutex mutex;
    std::deque<std::string> lines;
};

MemoryLog& memoryLog() {
    static MemoryLog* log = new MemoryLog();  // never destroyed: threads may log during exit
    return *log;
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return format;
    std::string out(size_t(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(size_t(n));
    return out;
}

void emit(const std::string& line) {
    switch (gSink.load()) {
    case LogSink::Syslog:
        // Through "%s" so that percent signs in the message are not interpreted again.
        ::syslog(LOG_NOTICE, "%s", line.c_str());
        break;
    case LogSink::StandardError:
        std::fprintf(stderr, "%s\n", line.c_str());
        break;
    case LogSink::Memory: {
        auto& log = memoryLog();
        {
            std::lock_guard lock(log.mutex);
            log.lines.push_back(line);
            if (log.lines.size() > kMemoryLogCapacity) log.lines.pop_front();
        }
        if (std::getenv("KL_LOG_ECHO")) std::fprintf(stderr, "%s\n", line.c_str());
        break;
    }
    }
}

}  // namespace

void setLoggingLevel(int32_t level) { loggingLevelGlobal().store(level); }
int32_t loggingLevel() { return loggingLevelGlobal().load(); }
void setLogSink(LogSink sink) { gSink.store(sink); }
LogSink logSink() { return gSink.load(); }
void setAssertAborts(bool aborts) { gAssertAborts.store(aborts); }

std::vector<std::string> memoryLogLines() {
    auto& log = memoryLog();
    std::lock_guard lock(log.mutex);
    return {log.lines.begin(), log.lines.end()};
}

void clearMemoryLog() {
    auto& log = memoryLog();
    std::lock_guard lock(log.mutex);
    log.lines.clear();
}

bool memoryLogContains(const std::string& text) {
    auto& log = memoryLog();
    std::lock_guard lock(log.mutex);
    for (const auto& l : log.lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace kl

extern "C" const char* KLTLoggingLevelString(KLTLoggingLevel level) {
    switch (level) {
    case kKLTLoggingLevelError: return "error";
    case kKLTLoggingLevelInfo: return "info";
    case kKLTLoggingLevelDebug: return "debug";
    case kKLTLoggingLevelVerbose: return "verbose";
    default: return nullptr;
    }
}

extern "C" void KLLogWrite(KLTLoggingLevel level, const char* format, ...) {
    if (!kl::logLevelEnabled(level)) return;
    va_list args;
    va_start(args, format);
    std::string message = kl::vformat(format, args);
    va_end(args);
    const char* name = KLTLoggingLevelString(level);
    kl::emit(std::string(name ? name : "(null)") + ": " + message);
}

extern "C" void KLAssertFailed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = kl::vformat(format, args);
    va_end(args);
    kl::emit(message);
    if (kl::gAssertAborts.load()) std::abort();
}
