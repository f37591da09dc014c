#include "disk/formats/vhd/vhd_endpoints.h"

#include <algorithm>

namespace disk {

using namespace platform;

bool VhdSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    done = 0;
    const std::int64_t left = image_->size() - offset;
    if (left <= 0) return true;
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
    if (DWORD failed = image_->read(offset, buffer.data(), n); failed != ERROR_SUCCESS) {
        SetLastError(failed);
        return false;
    }
    done = n;
    return true;
}

VhdSink::VhdSink(std::unique_ptr<virtdisk::VhdImage> image, bool blank)
    : image_(std::move(image)), blank_(blank), sync_behind_([this] {
          DWORD failed = image_->sync();
          if (failed != ERROR_SUCCESS) SetLastError(failed);
          return failed == ERROR_SUCCESS;
      }) {}

bool VhdSink::write(std::int64_t offset, std::span<const std::byte> data) {
    const std::int64_t room = std::max<std::int64_t>(0, image_->size() - offset);
    const std::size_t fits = static_cast<std::size_t>(std::min<std::int64_t>(room, static_cast<std::int64_t>(data.size())));
    if (fits > 0 && !(blank_ && IsAllZero(data.first(fits)))) {
        if (DWORD failed = image_->write(offset, data.data(), fits); failed != ERROR_SUCCESS) {
            SetLastError(failed);
            return false;
        }
        if (!sync_behind_.wrote(static_cast<std::int64_t>(fits))) return false;
    }
    if (fits < data.size()) {
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    return true;
}

bool VhdSink::finish() {
    if (!sync_behind_.stop()) return false;
    DWORD failed = image_->close();
    if (failed != ERROR_SUCCESS) SetLastError(failed);
    return failed == ERROR_SUCCESS;
}

}  // namespace disk
