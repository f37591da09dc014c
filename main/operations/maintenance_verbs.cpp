#include "main/operations/maintenance_verbs.h"

#include <optional>
#include <ostream>
#include <stdexcept>

#include "disk/device/handle_ops.h"
#include "disk/sectors/sectors.h"
#include "main/operations/wipe.h"
#include "platform/base/file_in_use.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {

// Raised messages of the sector tools are the same messages as their boxes.
template <typename Routine>
bool Told(const disk::OperationContext& context, Routine routine) {
    try {
        return routine();
    } catch (const std::exception& e) {
        context.ui().inform(e.what(), platform::kLibraryErrorCaption);
        return false;
    }
}

// The wipe's question is the one question -quiet does not answer.
class AskEvenWhenQuiet {
public:
    explicit AskEvenWhenQuiet(platform::Interaction& ui) : console_(dynamic_cast<platform::ConsoleInteraction*>(&ui)) {
        if (!console_) return;
        was_quiet_ = console_->quiet();
        console_->set_quiet(false);
    }
    ~AskEvenWhenQuiet() {
        if (console_) console_->set_quiet(was_quiet_);
    }
    AskEvenWhenQuiet(const AskEvenWhenQuiet&) = delete;
    AskEvenWhenQuiet& operator=(const AskEvenWhenQuiet&) = delete;

private:
    platform::ConsoleInteraction* console_;
    bool was_quiet_ = false;
};

}  // namespace

bool BootSectorBackupVerb(const std::string& source, const std::string& file, const disk::OperationContext& context) {
    return Told(context, [&] { return disk::BackupSectors(source, file, 1, context); });
}

bool BootSectorRestoreVerb(const std::string& file, const std::string& device, const disk::OperationContext& context) {
    return Told(context, [&] { return disk::RestoreBootSector(device, file, false, context); });
}

bool MbrBackupVerb(const std::string& source, const std::string& file, const disk::OperationContext& context) {
    return Told(context, [&] { return disk::CopySectorsToFile(source, file, 1, 0, context); });
}

bool MbrRestoreVerb(const std::string& file, const std::string& device, const disk::OperationContext& context) {
    return Told(context, [&] { return disk::RestoreMbr(device, file, false, disk::TMbrParts{}, context); });
}

bool SparseVerb(const std::string& file, const std::string& size, std::ostream& errors, bool& declined) {
    std::int64_t bytes = -1;
    try {
        std::size_t used = 0;
        long long value = std::stoll(size, &used, 10);
        if (used == size.size() && value >= 0 && size.find_first_of("+-") == std::string::npos) bytes = value;
    } catch (const std::exception&) {
    }
    if (bytes < 0) {
        errors << "'" << size << "' is not a size in bytes" << std::endl;
        return false;
    }
    if (platform::device::IsDevicePath(file)) {
        errors << file << " is a device, not a file" << std::endl;
        return false;
    }
    // A file there is replaced only when the person says so, as every
    // other verb that writes a file asks; the image behind a disk is no
    // file to ask about, and is refused below.
    const std::string resolved = platform::ResolveFilePath(file);
    const auto existing = resolved.empty() ? std::nullopt : platform::LinkFactsOf(resolved);
    if (existing && existing->is_regular() && !platform::FileInUseAsDisk(resolved) &&
        !platform::Ask("Overwrite " + file + "?")) {
        declined = true;
        return false;
    }
    try {
        return disk::_make_sparse_file(file, true, false, bytes);
    } catch (const std::exception& e) {
        errors << e.what() << std::endl;
        return false;
    }
}

WipeResult WipeVerb(const std::string& device, const disk::OperationContext& context) {
    AskEvenWhenQuiet asking(context.ui());
    return WipeDevice(device, context);
}

}  // namespace tarnovell
