// A source read through several readers of one image at once. Libraries
// that decode an image on the thread that reads it (inflating EWF chunks,
// walking qcow tables, unpacking stream-optimized VMDK grains) keep one core
// busy per reader; each read of the copy is split in pieces, one for each
// reader, and the pieces are read at the same time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "disk/copy/copy_endpoints.h"

namespace disk {

// One open reader of an image, used by one thread at a time.
class RangeReader {
public:
    virtual ~RangeReader() = default;
    // Fills all of `buffer` from `offset` on (the range lies inside the
    // image). Raises CopyFormatError with a text that says why when it
    // cannot.
    virtual void read_at(std::int64_t offset, std::span<std::byte> buffer) = 0;
};

class ParallelSource : public CopySource {
public:
    // `readers` (at least one) read the same image of `size` bytes; pieces
    // start at multiples of `alignment` (the image's own unit, so that no two
    // readers decode the same chunk).
    ParallelSource(std::vector<std::unique_ptr<RangeReader>> readers, std::int64_t size, std::size_t alignment);
    ~ParallelSource() override;
    ParallelSource(const ParallelSource&) = delete;
    ParallelSource& operator=(const ParallelSource&) = delete;

    std::int64_t size() override { return size_; }
    // Reads up to the end of the image; a reader's failure is raised once
    // every piece of the read has ended.
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;

    std::size_t readers() const { return lanes_.size(); }
    std::vector<std::string> files() const override { return files_; }
    void set_files(std::vector<std::string> files) { files_ = std::move(files); }
    // Runs `visit` on every reader, none of them reading meanwhile.
    template <typename Visit>
    void for_each_reader(Visit visit) {
        for (auto& lane : lanes_) visit(*lane.reader);
    }

private:
    struct Lane {
        std::unique_ptr<RangeReader> reader;
        std::int64_t offset = 0;
        std::span<std::byte> piece;
        bool due = false;
        std::exception_ptr failure;
    };

    void serve(std::size_t index, std::stop_token stop);

    std::vector<Lane> lanes_;
    std::int64_t size_;
    std::size_t alignment_;
    std::mutex mutex_;
    std::condition_variable due_signal_;
    std::condition_variable done_signal_;
    std::size_t outstanding_ = 0;
    std::vector<std::string> files_;
    std::vector<std::jthread> threads_;  // last: stopped and joined first
};

}  // namespace disk
