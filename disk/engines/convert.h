// The image conversions: a virtual disk (VHD/VHDX, VMDK, QCOW, VDI) or an
// EWF set onto a raw file or a disk, and a disk, volume or raw file into an
// EWF set. Each is the one copy loop between a source and a sink of the
// formats' folders; these routines ask their questions, prepare the
// destination as the raw copies do, and report.
//
// A file destination (a raw file, an EWF set) takes the place of what was
// there only once it is complete; a disk or volume destination is locked and
// dismounted first, written in place and handed back to the system after.
// A source that is its destination (the same file, or a file on the disk it
// would be written to) is refused. A source the library cannot open, a read
// that fails, a write that fails: each is told, never ended as "done".
//
// They run on the caller's thread and pump its messages while they work;
// the copy cancel flag, cleared as they start, stops them.
#pragma once

#include <cstdint>
#include <string>

#include "disk/engines/copy_engine.h"
#include "platform/base/progress.h"

namespace disk {

// VHD and VHDX (through libvhdi), VMDK (libvmdk), QCOW (libqcow), VDI (our
// own reader) and EWF (libewf) images onto `dst`, a raw file or a disk or
// volume.
CopyResult VhdiToRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                     platform::OperationTarget* window = nullptr);
CopyResult VmdkToRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                     platform::OperationTarget* window = nullptr);
CopyResult QcowToRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                     platform::OperationTarget* window = nullptr);
CopyResult VdiToRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                    platform::OperationTarget* window = nullptr);
CopyResult EwfToRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                    platform::OperationTarget* window = nullptr);
// A disk, volume or file into the EWF set `dst` ("image.e01": the set
// image.E01, image.E02 ...).
CopyResult RawToEwf(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                    platform::OperationTarget* window = nullptr);

CopyResult VhdiToRaw(const OperationContext& context, const std::string& src, const std::string& dst);
CopyResult VmdkToRaw(const OperationContext& context, const std::string& src, const std::string& dst);
CopyResult QcowToRaw(const OperationContext& context, const std::string& src, const std::string& dst);
CopyResult VdiToRaw(const OperationContext& context, const std::string& src, const std::string& dst);
CopyResult EwfToRaw(const OperationContext& context, const std::string& src, const std::string& dst);

struct EwfWriteOptions {
    // The most bytes a segment file holds; 0: the library's own size.
    std::int64_t segment_size = 0;
};
CopyResult RawToEwf(const OperationContext& context, const std::string& src, const std::string& dst,
                    const EwfWriteOptions& options = {});

}  // namespace disk
