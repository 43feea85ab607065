#include "http/KLNetworkRequestThread.h"

#include <curl/curl.h>

#include <cstdlib>
#include <utility>

#include "foundation/KLTLogging.h"
#include "http/KLCurlGlobal.h"

namespace kl {
namespace {

std::mutex gCAFileLock;
std::string& caFileStorage() {
    static std::string path = [] {
        const char* env = std::getenv("KL_HTTP_CA_FILE");
        return std::string(env ? env : "");
    }();
    return path;
}

}  // namespace

void KLNetworkRequestThread::setCertificateAuthorityFile(std::string path) {
    std::lock_guard lock(gCAFileLock);
    caFileStorage() = std::move(path);
}

std::string KLNetworkRequestThread::certificateAuthorityFile() {
    std::lock_guard lock(gCAFileLock);
    return caFileStorage();
}

KLNetworkRequestThread& KLNetworkRequestThread::shared() {
    // Never destroyed: operations hand it work from any thread until the process ends. An exit
    // handler stops the thread before libcurl's and the TLS library's own exit handlers run.
    static KLNetworkRequestThread* instance = [] {
        auto* thread = new KLNetworkRequestThread();
        std::atexit([] { shared().stopAtExit(); });
        return thread;
    }();
    return *instance;
}

KLNetworkRequestThread::KLNetworkRequestThread() {
    ensureCurlGlobalInit();
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { run(); });
}

void KLNetworkRequestThread::perform(Task task) {
    {
        std::lock_guard lock(tasksLock_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    curl_multi_wakeup(multi_);
}

bool KLNetworkRequestThread::isCurrent() const { return threadId_.load() == std::this_thread::get_id(); }

bool KLNetworkRequestThread::addTransfer(CURL* easy, Completion completion) {
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) return false;
    transfers_[easy] = std::move(completion);
    return true;
}

void KLNetworkRequestThread::removeTransfer(CURL* easy) {
    if (transfers_.erase(easy)) curl_multi_remove_handle(multi_, easy);
}

std::vector<KLNetworkRequestThread::Task> KLNetworkRequestThread::takeTasks() {
    std::lock_guard lock(tasksLock_);
    return std::exchange(tasks_, {});
}

void KLNetworkRequestThread::run() {
    threadId_.store(std::this_thread::get_id());
    while (true) {
        {
            std::lock_guard lock(tasksLock_);
            if (stopping_) break;
        }
        for (auto& task : takeTasks()) task();

        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            CURLcode result = message->data.result;
            auto found = transfers_.find(easy);
            if (found == transfers_.end()) continue;
            Completion completion = std::move(found->second);
            transfers_.erase(found);
            curl_multi_remove_handle(multi_, easy);
            completion(int(result));
        }

        long timeoutMs = -1;
        curl_multi_timeout(multi_, &timeoutMs);
        if (timeoutMs < 0 || timeoutMs > 1000) timeoutMs = 1000;
        {
            std::lock_guard lock(tasksLock_);
            if (!tasks_.empty() || stopping_) timeoutMs = 0;
        }
        curl_multi_poll(multi_, nullptr, 0, int(timeoutMs), nullptr);
    }
}

void KLNetworkRequestThread::stopAtExit() {
    {
        std::lock_guard lock(tasksLock_);
        stopping_ = true;  // tasks still queued are dropped with the process
    }
    curl_multi_wakeup(multi_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace kl
