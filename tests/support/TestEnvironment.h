// Test support shared by every test binary: each binary runs with a private temporary root
// (KL_ROOT), HOME and XDG folders, and logs into the memory sink.
#pragma once

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

}  // namespace kl::test
