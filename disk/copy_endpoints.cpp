#include "disk/copy_endpoints.h"

#include <atomic>
#include <mutex>

namespace disk {

using namespace platform;

namespace {

struct ReadFault {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    DWORD error = 0;
};

std::atomic<bool> fault_armed{false};
std::mutex fault_mutex;
ReadFault fault;

bool HitsInjectedFault(std::int64_t offset, std::size_t length) {
    if (!fault_armed.load(std::memory_order_relaxed)) return false;
    std::lock_guard guard(fault_mutex);
    if (fault.length == 0 || offset >= fault.offset + fault.length ||
        offset + static_cast<std::int64_t>(length) <= fault.offset)
        return false;
    SetLastError(fault.error);
    return true;
}

}  // namespace

void InjectReadFaultForTesting(std::int64_t offset, std::int64_t length, DWORD error) {
    std::lock_guard guard(fault_mutex);
    fault = {offset, length, error};
    fault_armed = length > 0;
}

bool RawSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    done = 0;
    if (HitsInjectedFault(base_ + offset, buffer.size())) return false;
    return ReadAt(handle_, base_ + offset, buffer.data(), buffer.size(), &done);
}

bool RawSink::write(std::int64_t offset, std::span<const std::byte> data) {
    std::size_t done = 0;
    if (!WriteAt(handle_, base_ + offset, data.data(), data.size(), &done)) return false;
    if (done != data.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

bool RawSink::finish() { return FlushFileBuffers(handle_); }

}  // namespace disk
