#include "disk/engines/convert.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "disk/copy/destination_hold.h"
#include "disk/device/endpoint_overlap.h"
#include "disk/device/handle_ops.h"
#include "disk/formats/ewf/ewf_set.h"
#include "disk/formats/ewf/ewf_sink.h"
#include "disk/formats/ewf/ewf_source.h"
#include "disk/formats/qcow/qcow_source.h"
#include "disk/formats/vdi/vdi_image.h"
#include "disk/formats/vhd/vhd_endpoints.h"
#include "disk/formats/vhdi/vhdi_source.h"
#include "disk/formats/vmdk/vmdk_source.h"
#include "platform/base/replace_file.h"
#include "platform/base/scope_guard.h"
#include "platform/device/path.h"
#include "platform/os/file_facts.h"

namespace disk {

using namespace platform;

namespace {

// Reads of the image formats go in larger blocks than the raw copy's, so
// that each can be split among the readers of a library.
constexpr std::size_t kImageBlock = 4 << 20;
constexpr std::int64_t kImageProgressStep = 16 << 20;

using Clock = std::chrono::steady_clock;

std::string DoneText(Clock::time_point started) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    return "done in " + std::to_string(elapsed) + "ms";
}

void Tell(const OperationContext& context, const std::string& text) { context.ui().inform(text, kProgramCaption); }
bool Ask(const OperationContext& context, const std::string& text) {
    return context.ui().confirm(text, kProgramCaption);
}

// Where a conversion writes the raw disk: its hold (a file made anew beside
// the one it replaces, or a disk or volume written in place) and the sink
// over it.
class RawDestination {
public:
    explicit RawDestination(const OperationContext& context) : context_(context) {}
    RawDestination(const RawDestination&) = delete;
    RawDestination& operator=(const RawDestination&) = delete;
    ~RawDestination() { sink_.reset(); }

    // Prepares `path` for `size` bytes; false (after telling why) when it
    // cannot be written or, as a device, holds fewer bytes than that.
    bool open(const std::string& path, std::int64_t size, const std::string& too_small) {
        DestinationOptions where;
        where.length = size;
        hold_ = PrepareDestination(context_, path, where);
        if (!hold_) return false;
        if (!hold_->is_file() && size > hold_->size()) {
            Tell(context_, too_small);
            return false;
        }
        sink_ = std::make_unique<RawSink>(hold_->handle(), 0, hold_->zeros());
        return true;
    }

    CopySink& sink() { return *sink_; }

    // After a complete copy: a new file takes the destination's name, a
    // disk's table reaches the system. False after telling why it could not.
    bool complete() {
        sink_.reset();
        return hold_->complete();
    }

private:
    const OperationContext& context_;
    std::unique_ptr<DestinationHold> hold_;
    std::unique_ptr<RawSink> sink_;
};

// What differs between the conversions onto raw.
struct ToRawSteps {
    // Opens the image; raises with a text for the person.
    std::function<std::unique_ptr<CopySource>(const std::string& path)> open;
    bool ask_overwrite = false;  // "Overwrite ...?" rather than "File exists! Delete?"
    std::string too_small = "source is bigger than destination";
    std::int64_t progress_every = kImageProgressStep;  // 0: every second
    // After the copy: what the person must hear about the data read ("" when nothing).
    std::function<std::string(CopySource&)> afterwards;
};

CopyResult ImageToRaw(const OperationContext& context, const std::string& src, const std::string& dst,
                      const ToRawSteps& steps) {
    if (RefuseSameEndpoints(context, src, dst)) return CopyResult::Failed;
    if (steps.ask_overwrite) {
        if (!Ask(context, "Overwrite " + dst + "?")) return CopyResult::Declined;
    } else if (IsRegularFileAt(dst) && !Ask(context, "File exists! Delete?")) {
        return CopyResult::Declined;
    }
    std::unique_ptr<CopySource> source;
    try {
        source = steps.open(LinuxPathOf(src));
    } catch (const std::exception& e) {
        Tell(context, e.what());
        return CopyResult::Failed;
    }
    // Every file the image is read from (extents, segments, parents) is a
    // source too: none of them may be where the disk is written.
    for (const auto& file : source->files())
        if (file != LinuxPathOf(src) && RefuseSameEndpoints(context, file, dst)) return CopyResult::Failed;
    const std::int64_t size = source->size();
    RawDestination destination(context);
    if (!destination.open(dst, size, steps.too_small)) return CopyResult::Failed;

    context.post_status("starting...");
    const Clock::time_point started = Clock::now();
    CopyLoopSettings settings;
    settings.limit = size;
    settings.source_must_reach_limit = true;
    settings.block_size = kImageBlock;
    settings.read_ahead = 4;
    settings.progress.every_bytes = steps.progress_every;
    settings.quiet_write_errors = true;
    settings.done_text.clear();
    const CopyOutcome outcome = RunCopyLoop(*source, destination.sink(), settings, context);
    if (outcome.end == CopyEnd::WriteFailed) Tell(context, "writefile failed");
    if (outcome.end == CopyEnd::SourceEnded || outcome.end == CopyEnd::ReadFailed) Tell(context, "readfile failed");
    if (!outcome.completed()) return ResultOf(outcome);
    // Data the image itself says is wrong never takes a file's place.
    const std::string problem = steps.afterwards ? steps.afterwards(*source) : "";
    if (!problem.empty()) {
        Tell(context, problem);
        return CopyResult::Failed;
    }
    if (!destination.complete()) return CopyResult::Failed;
    context.post_status(DoneText(started));
    return CopyResult::Completed;
}

// A VHD that stands alone is read by our own VHD code, which walks its block
// table directly: libvhdi searches a block's sector runs anew for every
// read, which holds a conversion to a fraction of the disk's speed. A VHDX,
// and a differencing VHD with its parents, go through libvhdi.
std::unique_ptr<CopySource> OpenVhdOrVhdx(const std::string& path) {
    std::unique_ptr<virtdisk::VhdImage> own;
    if (virtdisk::VhdImage::Open(path, false, own) == ERROR_SUCCESS) return std::make_unique<VhdSource>(std::move(own));
    return OpenVhdiSource(path);
}

ToRawSteps LibrarySteps(std::function<std::unique_ptr<CopySource>(const std::string&)> open) {
    ToRawSteps steps;
    steps.open = std::move(open);
    return steps;
}

}  // namespace

CopyResult VhdiToRaw(const OperationContext& context, const std::string& src, const std::string& dst) {
    return ImageToRaw(context, src, dst, LibrarySteps(OpenVhdOrVhdx));
}

CopyResult VmdkToRaw(const OperationContext& context, const std::string& src, const std::string& dst) {
    return ImageToRaw(context, src, dst, LibrarySteps([](const std::string& path) { return OpenVmdkSource(path); }));
}

CopyResult QcowToRaw(const OperationContext& context, const std::string& src, const std::string& dst) {
    return ImageToRaw(context, src, dst, LibrarySteps([](const std::string& path) { return OpenQcowSource(path); }));
}

CopyResult VdiToRaw(const OperationContext& context, const std::string& src, const std::string& dst) {
    ToRawSteps steps;
    steps.open = [&context](const std::string& path) -> std::unique_ptr<CopySource> {
        auto image = vdi_open(path, context.console);
        if (image->size() <= 0) throw std::runtime_error("the VDI image holds a disk of no size");
        return image;
    };
    return ImageToRaw(context, src, dst, steps);
}

CopyResult EwfToRaw(const OperationContext& context, const std::string& src, const std::string& dst) {
    ToRawSteps steps;
    steps.open = [](const std::string& path) -> std::unique_ptr<CopySource> { return OpenEwfSource(path); };
    steps.ask_overwrite = true;
    steps.too_small = "source bigger than destination";
    steps.progress_every = 0;
    steps.afterwards = [](CopySource& source) { return static_cast<EwfSource&>(source).ChecksumProblem(); };
    return ImageToRaw(context, src, dst, steps);
}

CopyResult RawToEwf(const OperationContext& context, const std::string& src, const std::string& dst,
                    const EwfWriteOptions& options) {
    if (RefuseSameEndpoints(context, src, dst)) return CopyResult::Failed;
    try {
        TLibEWF finder;
        EwfSetReplacement set(finder, LinuxPathOf(dst));
        for (const auto& segment : set.old_segments())
            if (RefuseSameEndpoints(context, src, segment)) return CopyResult::Failed;
        if ((IsRegularFileAt(dst) || !set.old_segments().empty()) && !Ask(context, "File exists! Delete?"))
            return CopyResult::Declined;

        Handle source = CreateFile(src, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN);
        if (!source) {
            Tell(context, CreateFileError("src", src));
            return CopyResult::Failed;
        }
        if (!PrepareSource(context, source, src)) return CopyResult::Failed;
        ScopeGuard unlock_source([&] {
            if (device::IsDevicePath(src) && !device::IsWholeDiskPath(src) && source) UnlockVolumeHandle(source);
        });

        const std::int64_t size = EndpointSize(source, src, true);
        if (size <= 0) {
            Tell(context, "could not retrieve source size");
            return CopyResult::Failed;
        }

        TLibEWF image;
        if (image.Open(set.new_set(), TLibEWF::kWrite) != 0) {
            context.post_status("libewf_open failed");
            Tell(context, "libewf_open failed: " + image.error());
            return CopyResult::Failed;
        }
        // A size that is no whole number of sectors keeps its tail: the
        // image holds whole sectors, the last one padded with zeros.
        const std::int64_t media_size = (size + 511) / 512 * 512;
        auto set_up = [&](int result, const char* call) {
            if (result != 1) throw std::runtime_error(std::string(call) + " failed: " + image.error());
        };
        set_up(image.SetCompressionValues(1, 0), "libewf_handle_set_compression_values");
        set_up(image.SetHeaderValue("acquiry_software_version", "Tarnovell"), "libewf_handle_set_utf8_header_value");
        set_up(image.SetMediaSize(media_size), "libewf_handle_set_media_size");
        set_up(image.SetFormat(1), "libewf_handle_set_format");
        if (options.segment_size > 0)
            set_up(image.SetMaximumSegmentSize(options.segment_size), "libewf_handle_set_maximum_segment_size");
        context.post_status("starting...");

        const Clock::time_point started = Clock::now();
        RawSource reader(source, 0, size);
        CopyOutcome outcome;
        {
            EwfSink writer(image, media_size);
            CopyLoopSettings settings;
            settings.limit = size;
            settings.source_must_reach_limit = true;
            settings.read_errors = ReadErrorPolicy::Stop;
            settings.done_text.clear();
            outcome = RunCopyLoop(reader, writer, settings, context);
        }
        if (outcome.end == CopyEnd::ReadFailed || outcome.end == CopyEnd::SourceEnded) Tell(context, "readfile failed");
        if (!outcome.completed()) return ResultOf(outcome);
        if (!image.Close()) throw std::runtime_error("libewf_handle_close failed: " + image.error());
        if (!set.commit()) {
            Tell(context, "could not replace " + dst + ": " + SysErrorMessage(GetLastError()));
            return CopyResult::Failed;
        }
        context.post_status(DoneText(started) + " total:" + std::to_string(size));
        return CopyResult::Completed;
    } catch (const std::exception& e) {
        Tell(context, e.what());
        return CopyResult::Failed;
    }
}

CopyResult VhdiToRaw(const std::string& src, const std::string& dst, ProgressBar* progress, OperationTarget* window) {
    return VhdiToRaw(CopyContext(progress, window), src, dst);
}

CopyResult VmdkToRaw(const std::string& src, const std::string& dst, ProgressBar* progress, OperationTarget* window) {
    return VmdkToRaw(CopyContext(progress, window), src, dst);
}

CopyResult QcowToRaw(const std::string& src, const std::string& dst, ProgressBar* progress, OperationTarget* window) {
    return QcowToRaw(CopyContext(progress, window), src, dst);
}

CopyResult VdiToRaw(const std::string& src, const std::string& dst, ProgressBar* progress, OperationTarget* window) {
    return VdiToRaw(CopyContext(progress, window), src, dst);
}

CopyResult EwfToRaw(const std::string& src, const std::string& dst, ProgressBar* progress, OperationTarget* window) {
    return EwfToRaw(CopyContext(progress, window), src, dst);
}

CopyResult RawToEwf(const std::string& src, const std::string& dst, ProgressBar* progress, OperationTarget* window) {
    return RawToEwf(CopyContext(progress, window), src, dst);
}

}  // namespace disk
