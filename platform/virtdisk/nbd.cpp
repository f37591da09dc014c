#include "platform/virtdisk/nbd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/os/child_process.h"
#include "platform/os/shared_library.h"
#include "platform/os/temp_folder.h"
#include "platform/virtdisk/server.h"

namespace platform::virtdisk {

namespace {

using namespace std::chrono_literals;

// The parts of libnbd's C interface we call.
struct nbd_handle;
struct NbdCompletion {
    int (*callback)(void* user_data, int* error);
    void* user_data;
    void (*free)(void* user_data);
};
constexpr int kNbdSizeMinimum = 0;
constexpr int kNbdSizeMaximum = 2;

struct NbdLibrary {
    nbd_handle* (*create)();
    void (*close)(nbd_handle*);
    const char* (*get_error)();
    int (*get_errno)();
    int (*connect_unix)(nbd_handle*, const char*);
    std::int64_t (*get_size)(nbd_handle*);
    std::int64_t (*get_block_size)(nbd_handle*, int);
    int (*flush)(nbd_handle*, std::uint32_t);
    int (*shutdown)(nbd_handle*, std::uint32_t);
    int (*poll)(nbd_handle*, int);
    std::int64_t (*aio_pread)(nbd_handle*, void*, std::size_t, std::uint64_t, NbdCompletion, std::uint32_t);
    std::int64_t (*aio_pwrite)(nbd_handle*, const void*, std::size_t, std::uint64_t, NbdCompletion, std::uint32_t);
    int (*aio_command_completed)(nbd_handle*, std::uint64_t);
};

// Loaded once for the process and never unloaded; null when missing.
const NbdLibrary* Nbd() {
    static const NbdLibrary* library = []() -> const NbdLibrary* {
        static NbdLibrary l{};
        // Never closed: a served disk may be in use until the process ends.
        static const SharedLibrary& module = *new SharedLibrary("libnbd.so.0");
        const bool bound = module && !module.bind({
            {l.create, "nbd_create"},
            {l.close, "nbd_close"},
            {l.get_error, "nbd_get_error"},
            {l.get_errno, "nbd_get_errno"},
            {l.connect_unix, "nbd_connect_unix"},
            {l.get_size, "nbd_get_size"},
            {l.get_block_size, "nbd_get_block_size"},
            {l.flush, "nbd_flush"},
            {l.shutdown, "nbd_shutdown"},
            {l.poll, "nbd_poll"},
            {l.aio_pread, "nbd_aio_pread"},
            {l.aio_pwrite, "nbd_aio_pwrite"},
            {l.aio_command_completed, "nbd_aio_command_completed"},
        });
        return bound ? &l : nullptr;
    }();
    return library;
}

// Requests are cut to this size (or the server's maximum, if smaller) and
// this many are kept in flight at once.
constexpr std::size_t kChunk = 256 << 10;
constexpr std::size_t kDepth = 16;
constexpr std::size_t kWritebackStep = 32 << 20;
constexpr auto kEndTimeout = 20s;

int LastNbdErrno(const NbdLibrary& nbd) {
    int e = nbd.get_errno();
    return e != 0 ? e : EIO;
}

class ServedDisk : public DiskIo {
public:
    ServedDisk(const NbdLibrary& nbd, ScratchFolder folder) : nbd_(nbd), folder_(std::move(folder)) {}
    ~ServedDisk() override {
        if (handle_) {
            nbd_.shutdown(handle_, 0);  // sends the disconnect once what is in flight is done
            nbd_.close(handle_);
            // The server ends by itself once its only client has gone, after
            // writing out what it holds; one that does not is stopped.
            server_.wait_for(kEndTimeout);
        }
        server_.stop();
        if (unsafe_cache_ && written_) SyncImage();
    }

    DWORD start(const std::string& image, const char* qemu_format, bool read_only, bool fresh) {
        image_ = image;
        unsafe_cache_ = fresh && !read_only;
        const std::string socket = folder_.file("nbd.sock");
        std::vector<std::string> argv = {"qemu-nbd", "--socket=" + socket,
                                         unsafe_cache_ ? "--cache=unsafe" : "--cache=writeback"};
        if (read_only) argv.push_back("--read-only");
        argv.insert(argv.end(), {"--image-opts", ImageOptions(image, qemu_format)});
        server_ = ChildProcess(argv, {.output = ChildOutput::Discard, .own_session = true});
        if (!server_) return ERROR_NOT_SUPPORTED;
        const auto deadline = std::chrono::steady_clock::now() + ServerStartTimeout();
        for (;;) {
            nbd_handle* h = nbd_.create();
            if (!h) return ERROR_NOT_ENOUGH_MEMORY;
            if (::access(socket.c_str(), F_OK) == 0 && nbd_.connect_unix(h, socket.c_str()) == 0) {
                handle_ = h;
                break;
            }
            nbd_.close(h);
            if (!server_.running()) return ERROR_OPEN_FAILED;  // the server gave up (a damaged image, say)
            if (std::chrono::steady_clock::now() > deadline) return ERROR_OPEN_FAILED;
            std::this_thread::sleep_for(5ms);
        }
        std::int64_t maximum = nbd_.get_block_size(handle_, kNbdSizeMaximum);
        chunk_ = maximum > 0 ? std::min<std::size_t>(kChunk, static_cast<std::size_t>(maximum)) : kChunk;
        std::int64_t minimum = nbd_.get_block_size(handle_, kNbdSizeMinimum);
        unit_ = minimum > 0 && minimum <= 65536 ? static_cast<std::size_t>(minimum) : 1;
        chunk_ = std::max(chunk_ / unit_ * unit_, unit_);
        return ERROR_SUCCESS;
    }

    bool read(std::int64_t offset, void* buffer, std::size_t length) override {
        if (aligned(offset, length)) return transfer(false, static_cast<char*>(buffer), length, offset);
        // The server takes whole blocks of its own: read those around the range.
        std::int64_t start = 0;
        std::vector<char> around = surrounding(offset, length, start);
        if (!transfer(false, around.data(), around.size(), start)) return false;
        std::memcpy(buffer, around.data() + (offset - start), length);
        return true;
    }
    bool write(std::int64_t offset, const void* buffer, std::size_t length) override {
        written_ = true;
        if (!aligned(offset, length)) {
            std::int64_t start = 0;
            std::vector<char> around = surrounding(offset, length, start);
            if (!transfer(false, around.data(), around.size(), start)) return false;
            std::memcpy(around.data() + (offset - start), buffer, length);
            return transfer(true, around.data(), around.size(), start);
        }
        if (!transfer(true, static_cast<char*>(const_cast<void*>(buffer)), length, offset)) return false;
        if (unsafe_cache_) StartWriteback(length);
        return true;
    }
    bool flush() override {
        std::lock_guard guard(mutex_);
        if (nbd_.flush(handle_, 0) != 0) return Failed(LastNbdErrno(nbd_));
        // The server's flush does nothing with its unsafe cache; every write
        // it answered is in the image file, so syncing that file is enough.
        if (unsafe_cache_ && !SyncImage()) return false;
        return true;
    }

private:
    bool aligned(std::int64_t offset, std::size_t length) const {
        return offset % static_cast<std::int64_t>(unit_) == 0 && length % unit_ == 0;
    }
    // A buffer for the whole server blocks that hold the range; `start` is where they begin.
    std::vector<char> surrounding(std::int64_t offset, std::size_t length, std::int64_t& start) const {
        const auto unit = static_cast<std::int64_t>(unit_);
        start = offset / unit * unit;
        const std::int64_t end = (offset + static_cast<std::int64_t>(length) + unit - 1) / unit * unit;
        return std::vector<char>(static_cast<std::size_t>(end - start));
    }

    bool SyncImage() {
        UniqueFd fd(::open(image_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd || ::fdatasync(fd.get()) != 0) return Failed(errno);
        return true;
    }

    // Without the server's flushes the image's pages would all wait for the
    // sync at the end; starting their write-out as the copy goes keeps that
    // sync short. It does not wait for anything.
    void StartWriteback(std::size_t length) {
        std::lock_guard guard(mutex_);
        unsynced_ += length;
        if (unsynced_ < kWritebackStep) return;
        unsynced_ = 0;
        if (!image_fd_) image_fd_.reset(::open(image_.c_str(), O_RDONLY | O_CLOEXEC));
        if (image_fd_) ::sync_file_range(image_fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    static bool Failed(int error) {
        SetLastErrorFromErrno(error);
        return false;
    }

    // Cuts the transfer into requests, keeps up to kDepth of them in flight
    // and waits for them in order.
    bool transfer(bool write, char* bytes, std::size_t length, std::int64_t offset) {
        std::lock_guard guard(mutex_);
        std::deque<std::uint64_t> in_flight;
        std::size_t next = 0;
        int error = 0;
        while (true) {
            while (error == 0 && next < length && in_flight.size() < kDepth) {
                const std::size_t n = std::min(chunk_, length - next);
                const std::uint64_t at = static_cast<std::uint64_t>(offset) + next;
                std::int64_t cookie = write ? nbd_.aio_pwrite(handle_, bytes + next, n, at, NbdCompletion{}, 0)
                                            : nbd_.aio_pread(handle_, bytes + next, n, at, NbdCompletion{}, 0);
                if (cookie < 0) {
                    error = LastNbdErrno(nbd_);
                    break;
                }
                in_flight.push_back(static_cast<std::uint64_t>(cookie));
                next += n;
            }
            if (in_flight.empty()) break;
            int done = nbd_.aio_command_completed(handle_, in_flight.front());
            if (done == 0) {
                if (nbd_.poll(handle_, -1) < 0) return Failed(error ? error : LastNbdErrno(nbd_));  // connection lost
                continue;
            }
            if (done < 0 && error == 0) error = LastNbdErrno(nbd_);
            in_flight.pop_front();
        }
        return error == 0 ? true : Failed(error);
    }

    const NbdLibrary& nbd_;
    ScratchFolder folder_;  // goes once the server has ended
    ChildProcess server_;
    nbd_handle* handle_ = nullptr;
    std::size_t chunk_ = kChunk;
    std::size_t unit_ = 1;  // the server's smallest request
    std::string image_;
    bool unsafe_cache_ = false;
    std::size_t unsynced_ = 0;
    UniqueFd image_fd_;
    std::atomic<bool> written_{false};
    std::mutex mutex_;
};

}  // namespace

bool CanServeInProcess() { return Nbd() != nullptr && !FindOnPath("qemu-nbd").empty(); }

DWORD ServeInProcess(const std::string& image, const char* qemu_format, bool read_only, bool fresh,
                     std::unique_ptr<DiskIo>& out) {
    const NbdLibrary* nbd = Nbd();
    if (!nbd) return ERROR_NOT_SUPPORTED;
    // Mode 0700: only we may reach the server's socket.
    ScratchFolder folder = ScratchFolder::Create("tarnovell-nbd-");
    if (!folder) return ERROR_CANNOT_MAKE;
    auto disk = std::make_unique<ServedDisk>(*nbd, std::move(folder));
    if (DWORD started = disk->start(image, qemu_format, read_only, fresh); started != ERROR_SUCCESS) return started;
    out = std::move(disk);
    return ERROR_SUCCESS;
}

}  // namespace platform::virtdisk
