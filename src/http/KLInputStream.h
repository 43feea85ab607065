// Byte streams that feed request bodies. A read never blocks: it gives bytes, says that none are
// there yet (the reader then asks to be told when more may be), reports the end, or fails. The
// network thread reads request bodies through this interface, so a slow producer holds up only
// its own transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kl {

struct KLStreamReadResult {
    enum Status { Read, NotYet, End, Failed };
    Status status = End;
    size_t length = 0;  // bytes placed, for Read

    static KLStreamReadResult read(size_t length) { return {Read, length}; }
    static KLStreamReadResult notYet() { return {NotYet, 0}; }
    static KLStreamReadResult end() { return {End, 0}; }
    static KLStreamReadResult failed() { return {Failed, 0}; }
};

class KLInputStream {
public:
    virtual ~KLInputStream() = default;

    virtual void open() {}
    virtual void close() {}
    // Reads at most maxLength bytes (maxLength > 0). After Failed, streamError() says why.
    virtual KLStreamReadResult read(uint8_t* buffer, size_t maxLength) = 0;
    // After a NotYet: handler runs once, on any thread, when a read may make progress again (at
    // once when it already may). The reader must not call into the stream from the handler.
    virtual void notifyWhenReadable(std::function<void()> handler) {
        if (handler) handler();
    }
    virtual std::optional<Error> streamError() const = 0;
    // The number of bytes the stream will give, when known.
    virtual std::optional<uint64_t> length() const { return std::nullopt; }
    // A fresh, unopened stream over the same bytes from the start; nothing when the bytes can be
    // read only once.
    virtual std::shared_ptr<KLInputStream> copy() const { return nullptr; }
};

// A stream over bytes in memory.
class KLDataInputStream : public KLInputStream {
public:
    explicit KLDataInputStream(std::shared_ptr<const Bytes> data);
    KLStreamReadResult read(uint8_t* buffer, size_t maxLength) override;
    std::optional<Error> streamError() const override { return std::nullopt; }
    std::optional<uint64_t> length() const override { return data_->size(); }
    std::shared_ptr<KLInputStream> copy() const override;

private:
    std::shared_ptr<const Bytes> data_;
    size_t offset_ = 0;
};

// A stream over a file, opened at open() (or the first read).
class KLFileInputStream : public KLInputStream {
public:
    explicit KLFileInputStream(std::string path);
    ~KLFileInputStream() override;
    void open() override;
    void close() override;
    KLStreamReadResult read(uint8_t* buffer, size_t maxLength) override;
    std::optional<Error> streamError() const override { return error_; }
    std::shared_ptr<KLInputStream> copy() const override;

private:
    std::string path_;
    int fd_ = -1;
    bool opened_ = false;
    std::optional<Error> error_;
};

// The reading end of an in-memory pipe: a producer on any thread writes bytes, then either
// finishes or fails the stream; the reader sees NotYet while the pipe is empty and open.
class KLPipeInputStream : public KLInputStream {
public:
    static std::shared_ptr<KLPipeInputStream> create() { return std::make_shared<KLPipeInputStream>(); }

    // Producer side. Writes after finishWriting or failWriting are dropped.
    void write(const uint8_t* bytes, size_t length);
    void write(std::string_view text) { write(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
    void finishWriting();
    void failWriting(Error error);

    KLStreamReadResult read(uint8_t* buffer, size_t maxLength) override;
    void notifyWhenReadable(std::function<void()> handler) override;
    std::optional<Error> streamError() const override;

private:
    // Takes the waiting handler when a read could now make progress; runs outside the lock.
    std::function<void()> takeHandlerIfReadable();

    mutable std::mutex lock_;
    std::deque<uint8_t> buffered_;            // guarded by lock_
    bool finished_ = false;                   // guarded by lock_
    std::optional<Error> error_;              // guarded by lock_
    std::function<void()> readableHandler_;   // guarded by lock_
};

}  // namespace kl
