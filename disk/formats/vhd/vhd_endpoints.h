// A fixed or dynamic VHD as either end of a copy, read and written with our
// own VHD code (platform/virtdisk/vhd): no server and no attach between the
// copy and the file.
#pragma once

#include <cstdint>
#include <memory>

#include "disk/copy/copy_endpoints.h"
#include "platform/virtdisk/vhd/vhd_image.h"

namespace disk {

// The disk of an image, read from byte 0 to its end.
class VhdSource : public CopySource {
public:
    explicit VhdSource(std::unique_ptr<platform::virtdisk::VhdImage> image) : image_(std::move(image)) {}
    std::int64_t size() override { return image_->size(); }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;

private:
    std::unique_ptr<platform::virtdisk::VhdImage> image_;
};

// The disk of an image, written from byte 0 and synced behind the writing.
// A write that runs past the disk's end stores what fits and raises
// MediumError ERROR_HANDLE_EOF. On a `blank` image (made for this copy, all zeros)
// blocks of zeros are not written, so a dynamic image stays as small as its
// data.
class VhdSink : public CopySink {
public:
    VhdSink(std::unique_ptr<platform::virtdisk::VhdImage> image, bool blank);
    void write(std::int64_t offset, std::span<const std::byte> data) override;
    void finish() override;

private:
    std::unique_ptr<platform::virtdisk::VhdImage> image_;
    bool blank_;
    SyncBehind sync_behind_;
};

}  // namespace disk
