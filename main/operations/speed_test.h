// The "Speed Test" tab's four measurements of a volume: sequential and
// random writes into a file "dummy.tmp" at the root of the volume's file
// system (where it is mounted, or mounted for the test when it is mounted
// nowhere, as volumes of the embedded host never are), sequential and
// random reads of the volume itself, each over 1 GiB in buffers of the
// chosen size with the chosen CreateFile flags. Progress goes to the
// context's bar (0-100) and the rate to its status line once a second; its
// cancel flag stops a test, which then reports the rate of what it did.
#pragma once

#include <cstdint>
#include <string>

#include "disk/copy/operation_context.h"
#include "platform/base/win_error.h"

namespace tarnovell {

constexpr std::int64_t kSpeedTestBytes = std::int64_t{1} << 30;
constexpr const char* kSpeedTestFile = "dummy.tmp";

struct SpeedTestOptions {
    std::string drive;  // the drive combo's text, "C: [label]"
    std::size_t buffer_size = 65536;
    platform::DWORD flags = 0;
    std::int64_t test_bytes = kSpeedTestBytes;
};

// The buffer of the "BufferSize (read/write)" combo's item (no item: 64 KiB).
std::size_t SpeedBufferSize(int item);
// The flags of the "Flags (createfile)" radio: 0 None, 1 Write_Through,
// 2 No_Buffering, 3 Sequential; -1 (none checked) the plain normal attribute.
platform::DWORD SpeedFlags(int radio);

// Each returns false when the test could not start (the reason was shown).
bool SequentialWriteTest(const SpeedTestOptions& options, const disk::OperationContext& context);
bool SequentialReadTest(const SpeedTestOptions& options, const disk::OperationContext& context);
bool RandomWriteTest(const SpeedTestOptions& options, const disk::OperationContext& context);
bool RandomReadTest(const SpeedTestOptions& options, const disk::OperationContext& context);

}  // namespace tarnovell
