#include "foundation/ipc/IPCQueue.h"

namespace kl::ipc {
namespace {

class LoopQueue final : public IPCQueue {
public:
    LoopQueue(MainLoop& loop, std::string label) : loop_(loop), label_(std::move(label)) {}
    void async(Task task) override { loop_.post(std::move(task)); }
    const std::string& label() const override { return label_; }

private:
    MainLoop& loop_;
    std::string label_;
};

class GlobalPoolQueue final : public IPCQueue {
public:
    void async(Task task) override { globalQueue().async(std::move(task)); }
    const std::string& label() const override { return label_; }

private:
    std::string label_ = "global";
};

class SerialIPCQueue final : public IPCQueue {
public:
    explicit SerialIPCQueue(std::string label) : queue_(std::move(label)) {}
    void async(Task task) override { queue_.async(std::move(task)); }
    const std::string& label() const override { return queue_.label(); }

private:
    SerialQueue queue_;
};

}  // namespace

std::shared_ptr<IPCQueue> mainIPCQueue() {
    static auto* queue = new std::shared_ptr<IPCQueue>(std::make_shared<LoopQueue>(mainLoop(), "main"));
    return *queue;
}

std::shared_ptr<IPCQueue> globalIPCQueue() {
    static auto* queue = new std::shared_ptr<IPCQueue>(std::make_shared<GlobalPoolQueue>());
    return *queue;
}

std::shared_ptr<IPCQueue> makeSerialIPCQueue(std::string label) {
    return std::make_shared<SerialIPCQueue>(std::move(label));
}

}  // namespace kl::ipc
