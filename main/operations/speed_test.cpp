#include "main/operations/speed_test.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_loop.h"
#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "platform/device/volume_folder.h"

namespace tarnovell {

using namespace platform;

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MillisecondsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - then).count();
}

// The measured loop every test shares: `step` moves one buffer at the
// offset it is given and returns the bytes it moved (0 ends the test, -1
// a failure it has shown). The bar and the rate once a second, the cancel
// flag before each buffer, and the closing rate over the bytes moved: a
// test stopped early reports what it did, not what it meant to do.
template <typename Step, typename Offset>
void Measure(const SpeedTestOptions& options, const disk::OperationContext& context, Offset next_offset, Step step) {
    if (context.progress) context.progress->set_max(100);
    const std::int64_t total = options.test_bytes;
    const std::int64_t buffer = static_cast<std::int64_t>(options.buffer_size);
    const Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    std::int64_t done = 0;
    while (!context.cancelled() && done + buffer <= total) {
        std::int64_t moved = step(next_offset(done));
        if (moved <= 0) break;
        done += moved;
        if (Clock::now() - last > std::chrono::milliseconds(1000)) {
            if (context.progress) context.progress->set_position(done * 100 / total);
            context.post_status(disk::KBytesPerSecond(done, std::max<std::int64_t>(1, MillisecondsSince(start))));
            pump();
            last = Clock::now();
        }
    }
    const std::int64_t ms = std::max<std::int64_t>(1, MillisecondsSince(start));
    if (context.progress) context.progress->set_position(100);
    context.post_status("done in " + std::to_string(ms) + " ms, " + disk::KBytesPerSecond(done, ms));
}

// The test file as the person knows it: "C:\\dummy.tmp".
std::string TestFileName(const SpeedTestOptions& options) {
    return disk::DevicePathOf(options.drive) + "\\" + kSpeedTestFile;
}

// Where the write tests put their file: the root of the volume's file
// system, where it is mounted, or in a mount of our own that lasts as long
// as `folder`. False after saying why.
bool OpenTestFile(const SpeedTestOptions& options, const disk::OperationContext& context,
                  device::VolumeFolder& folder, std::string& file) {
    std::string problem;
    if (!device::OpenVolumeFolder(disk::DevicePathOf(options.drive), true, folder, problem)) {
        context.ui().inform_failure("could not open createfile " + TestFileName(options), platform::kProgramCaption,
                                    disk::DevicePathOf(options.drive) + " (" + problem + ")", GetLastError());
        return false;
    }
    file = folder.path() + "/" + kSpeedTestFile;
    return true;
}

std::string VolumeOf(const SpeedTestOptions& options) { return "\\\\.\\" + disk::DevicePathOf(options.drive); }

// A buffer-aligned offset below `limit` - the buffer, drawn from the
// program's random numbers (seeded at start).
std::int64_t RandomOffset(std::int64_t limit, std::int64_t buffer) {
    const std::int64_t slots = std::max<std::int64_t>(1, (limit - buffer) / buffer);
    const std::int64_t draw = (static_cast<std::int64_t>(std::rand()) << 31) ^ std::rand();
    return (draw % slots) * buffer;
}

disk::AlignedBuffer PatternBuffer(std::size_t size) {
    disk::AlignedBuffer buffer(size);
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer.data());
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return buffer;
}

// One buffer written or read at an offset, as Measure steps: the bytes
// moved (a read moves 0 at the end of a small volume), -1 after the error
// has been shown.
auto WriteStep(Handle& h, const disk::AlignedBuffer& buffer, const disk::OperationContext& context) {
    return [&h, &buffer, &context](std::int64_t at) -> std::int64_t {
        std::size_t written = 0;
        if (WriteAt(h, at, buffer.data(), buffer.size(), &written) && written == buffer.size())
            return static_cast<std::int64_t>(written);
        context.ui().inform("writefile error:" + SysErrorMessage(GetLastError()), platform::kProgramCaption);
        return -1;
    };
}

auto ReadStep(Handle& h, const disk::AlignedBuffer& buffer, const disk::OperationContext& context) {
    return [&h, &buffer, &context](std::int64_t at) -> std::int64_t {
        std::size_t read = 0;
        if (ReadAt(h, at, buffer.data(), buffer.size(), &read)) return static_cast<std::int64_t>(read);
        context.ui().inform("readfile error:" + SysErrorMessage(GetLastError()), platform::kProgramCaption);
        return -1;
    };
}

}  // namespace

std::size_t SpeedBufferSize(int item) {
    switch (item) {
    case 0: return 4096;
    case 2: return 524288;
    case 3: return 1048576;
    default: return 65536;
    }
}

DWORD SpeedFlags(int radio) {
    switch (radio) {
    case 0: return 0;
    case 1: return FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL;
    case 2: return FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL;
    case 3: return FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;
    default: return FILE_ATTRIBUTE_NORMAL;
    }
}

bool SequentialWriteTest(const SpeedTestOptions& options, const disk::OperationContext& context) {
    device::VolumeFolder folder;
    std::string file;
    if (!OpenTestFile(options, context, folder, file)) return false;
    DeleteRegularFile(file);
    Handle h = CreateFile(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW, options.flags);
    if (!h) {
        context.ui().inform_failure("could not open createfile " + TestFileName(options), platform::kProgramCaption,
                                    file, GetLastError());
        return false;
    }
    disk::AlignedBuffer buffer = PatternBuffer(options.buffer_size);
    if (context.cancel) *context.cancel = false;
    Measure(options, context, [](std::int64_t done) { return done; }, WriteStep(h, buffer, context));
    return true;  // the file stays on the volume, as it always has
}

bool SequentialReadTest(const SpeedTestOptions& options, const disk::OperationContext& context) {
    const std::string volume = VolumeOf(options);
    Handle h = CreateFile(volume, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, options.flags);
    if (!h) {
        context.ui().inform("cannot createfile " + volume, platform::kProgramCaption);
        return false;
    }
    disk::AlignedBuffer buffer(options.buffer_size);
    if (context.cancel) *context.cancel = false;
    Measure(options, context, [](std::int64_t done) { return done; }, ReadStep(h, buffer, context));
    return true;
}

bool RandomWriteTest(const SpeedTestOptions& options, const disk::OperationContext& context) {
    device::VolumeFolder folder;
    std::string file;
    if (!OpenTestFile(options, context, folder, file)) return false;
    try {
        disk::_make_sparse_file(file, true, false, options.test_bytes);
    } catch (const std::exception& e) {
        context.ui().inform(e.what(), platform::kProgramCaption);
        return false;
    }
    Handle h = CreateFile(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, options.flags);
    if (!h) {
        context.ui().inform_failure("could not open createfile " + TestFileName(options), platform::kProgramCaption,
                                    file, GetLastError());
        DeleteRegularFile(file);
        return false;
    }
    disk::AlignedBuffer buffer = PatternBuffer(options.buffer_size);
    if (context.cancel) *context.cancel = false;
    const auto buffer_bytes = static_cast<std::int64_t>(options.buffer_size);
    Measure(options, context, [&](std::int64_t) { return RandomOffset(options.test_bytes, buffer_bytes); },
            WriteStep(h, buffer, context));
    h.close();
    DeleteRegularFile(file);
    return true;
}

bool RandomReadTest(const SpeedTestOptions& options, const disk::OperationContext& context) {
    const std::string volume = VolumeOf(options);
    Handle h = CreateFile(volume, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, options.flags);
    if (!h) {
        context.ui().inform("invalid handle", platform::kProgramCaption);
        return false;
    }
    disk::AlignedBuffer buffer(options.buffer_size);
    if (context.cancel) *context.cancel = false;
    const auto buffer_bytes = static_cast<std::int64_t>(options.buffer_size);
    // Offsets inside the volume, should it be smaller than the test.
    const std::int64_t span = std::min(options.test_bytes, disk::GetPartitionLength(h));
    Measure(options, context, [&](std::int64_t) { return RandomOffset(span, buffer_bytes); },
            ReadStep(h, buffer, context));
    return true;
}

}  // namespace tarnovell
