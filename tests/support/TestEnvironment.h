// Test support shared by every test binary: each binary runs with a private temporary root
// (KL_ROOT), HOME and XDG folders, and logs into the memory sink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <chrono>

namespace kl::test {

// The temporary folder this test binary runs in (removed at exit).
const std::filesystem::path& tempRoot();
// A fresh empty folder under tempRoot().
std::filesystem::path makeTempDir(const std::string& prefix = "t");

// Polls predicate every millisecond until true or the timeout; returns its last value.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A port of 127.0.0.1 that is free now (bound and released; another program may take it before it
// is used). type: SOCK_STREAM or SOCK_DGRAM. 0 when none could be bound.
uint16_t freeLoopbackPort(int type);

}  // namespace kl::test
