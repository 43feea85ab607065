// Levelled logging and the soft assertion of every program.
//
// KLLog(level, format, ...) writes "<level name>: <message>" when level <= the process threshold
// (compared unsigned, so a negative threshold lets everything through). The test comes first and a
// suppressed call evaluates none of its arguments. Formats are printf formats checked at compile
// time; objects are passed as "%s" of their description.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

typedef uint32_t KLTLoggingLevel;
enum : uint32_t {
    kKLTLoggingLevelError = 0,
    kKLTLoggingLevelInfo = 1,
    kKLTLoggingLevelDebug = 2,
    kKLTLoggingLevelVerbose = 3,
};

extern "C" {
// "error", "info", "debug", "verbose"; NULL for any other level.
const char* KLTLoggingLevelString(KLTLoggingLevel level);
// The formatting half of KLLog; call through the macro so the threshold test comes first.
void KLLogWrite(KLTLoggingLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes a failed assertion's message whatever the threshold; aborts when the process asked for it.
void KLAssertFailed(const char* format, ...) __attribute__((format(printf, 1, 2)));
}

namespace kl {

// The process-wide threshold, initially 1 (info).
void setLoggingLevel(int32_t level);
int32_t loggingLevel();
inline std::atomic<int32_t>& loggingLevelGlobal() {
    static std::atomic<int32_t> level{kKLTLoggingLevelInfo};
    return level;
}
inline bool logLevelEnabled(KLTLoggingLevel level) {
    return level <= uint32_t(loggingLevelGlobal().load(std::memory_order_relaxed));
}

enum class LogSink {
    Syslog,         // syslog(3) at LOG_NOTICE: the daemon and the screen service
    StandardError,  // one line per message on stderr: the control app
    Memory,         // kept in memory for tests (also echoed to stderr when KL_LOG_ECHO is set)
};
void setLogSink(LogSink sink);
LogSink logSink();
// The screen service's assertions stop the process after logging.
void setAssertAborts(bool aborts);

// The memory sink's lines, oldest first (at most the newest 20000 are kept).
std::vector<std::string> memoryLogLines();
void clearMemoryLog();
// True when some memory-sink line contains text.
bool memoryLogContains(const std::string& text);

}  // namespace kl

#define KLLog(level, ...)                                                   \
    do {                                                                    \
        KLTLoggingLevel kl_log_level_ = static_cast<KLTLoggingLevel>(level); \
        if (::kl::logLevelEnabled(kl_log_level_)) KLLogWrite(kl_log_level_, __VA_ARGS__); \
    } while (0)

#define KLAssert(condition, ...)                        \
    do {                                                \
        if (!(condition)) KLAssertFailed(__VA_ARGS__);  \
    } while (0)
