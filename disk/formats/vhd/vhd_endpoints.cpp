#include "disk/formats/vhd/vhd_endpoints.h"

#include <algorithm>

namespace disk {

using namespace platform;

namespace {

// Our VHD code answers with the system's error code; ERROR_SUCCESS is none.
void Check(DWORD failed) {
    if (failed != ERROR_SUCCESS) throw MediumError(failed);
}

}  // namespace

std::size_t VhdSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    const std::int64_t left = image_->size() - offset;
    if (left <= 0) return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size())));
    Check(image_->read(offset, buffer.data(), n));
    return n;
}

VhdSink::VhdSink(std::unique_ptr<virtdisk::VhdImage> image, bool blank)
    : image_(std::move(image)), blank_(blank), sync_behind_([this] { Check(image_->sync()); }) {}

void VhdSink::write(std::int64_t offset, std::span<const std::byte> data) {
    const std::int64_t room = std::max<std::int64_t>(0, image_->size() - offset);
    const std::size_t fits = static_cast<std::size_t>(std::min<std::int64_t>(room, static_cast<std::int64_t>(data.size())));
    if (fits > 0 && !(blank_ && IsAllZero(data.first(fits)))) {
        for (std::size_t at = 0; at < fits; at += kLongestWrite) {
            const std::size_t piece = std::min(kLongestWrite, fits - at);
            Check(image_->write(offset + static_cast<std::int64_t>(at), data.data() + at, piece));
            sync_behind_.wrote(static_cast<std::int64_t>(piece));
        }
    }
    if (fits < data.size()) throw MediumError(ERROR_HANDLE_EOF);
}

void VhdSink::finish() {
    sync_behind_.stop();
    Check(image_->close());
}

}  // namespace disk
