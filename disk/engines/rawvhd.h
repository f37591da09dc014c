// rawvhd: the block copy between a disk or file and a VHD or VHDX.
#pragma once

#include <string>

#include "disk/bindings/virtdisk.h"
#include "disk/copy/operation_context.h"
#include "platform/base/progress.h"

namespace disk {

// rawvhd copy modes.
enum : int { kRawVhdToDevice = 0, kRawVhdToFixedVhd = 1, kRawVhdToDynamicVhd = 2 };

// Copies `source` to `destination` in `mode` (0 VHD/VHDX to disk or file,
// 1 to a new fixed VHD/VHDX, 2 to a new dynamic one) in blocks of 1 MiB,
// posting the percentage to `progress` (may be null) after every 64 MiB.
// True when the copy completed; raises std::runtime_error with the step's
// text and code on failure. A destination made anew (an image, a file) takes
// the old one's place only when the copy is complete. The copy cancel flag,
// cleared as the copy starts, stops it: the routine posts "Aborted at " and
// the position as the status and answers false. A destination that shares
// bytes with the source (the same file, a disk and its volume) is refused
// with a message, and the answer is false.
bool rawvhd(const std::string& source, const std::string& destination, int mode, platform::OperationTarget* progress);

// The same, reporting to and stopped by the context's status target and
// cancel flag. Runs on a worker thread: it never pumps a window's messages.
bool rawvhd(const OperationContext& context, const std::string& source, const std::string& destination, int mode);

}  // namespace disk
