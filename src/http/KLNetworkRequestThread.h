// The one network thread of the process: every URL connection of every operation runs here, in a
// libcurl multi handle, so no other thread ever blocks on network input. Other threads hand it
// work with perform(), which wakes it with curl_multi_wakeup. It runs until the process exits.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

typedef void CURL;
typedef void CURLM;

namespace kl {

class KLNetworkRequestThread {
public:
    using Task = std::function<void()>;
    // Called on the network thread when a transfer ends, with libcurl's result code.
    using Completion = std::function<void(int curlCode)>;

    // Started on first use.
    static KLNetworkRequestThread& shared();

    // Runs task on the network thread, after the tasks handed over before it; never waits.
    void perform(Task task);
    bool isCurrent() const;

    // Network thread only: runs a prepared easy handle; completion is called once when it ends,
    // unless the handle is removed first.
    bool addTransfer(CURL* easy, Completion completion);
    // Network thread only: stops a transfer without calling its completion.
    void removeTransfer(CURL* easy);

    // Trust anchors for TLS peer verification: a PEM file of CA certificates, or empty for the
    // system's store. Verification itself is always on. The initial value comes from the
    // environment variable KL_HTTP_CA_FILE.
    static void setCertificateAuthorityFile(std::string path);
    static std::string certificateAuthorityFile();

private:
    KLNetworkRequestThread();
    void run();
    void stopAtExit();
    std::vector<Task> takeTasks();

    CURLM* multi_ = nullptr;
    std::mutex tasksLock_;
    std::vector<Task> tasks_;       // guarded by tasksLock_
    bool stopping_ = false;         // guarded by tasksLock_
    std::unordered_map<CURL*, Completion> transfers_;  // network thread only
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

}  // namespace kl
