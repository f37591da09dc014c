#include "disk/fmtchk/magfmtchkdsk.h"

#include <array>
#include <mutex>

#include "platform/base/ascii.h"
#include "platform/base/wide_text.h"
#include "platform/device/handle.h"
#include "platform/device/volume_api.h"
#include "platform/fmifs/fmifs.h"
#include "platform/modules/module.h"

namespace disk {

namespace fmifs = platform::fmifs;

namespace {

// Loaded once per process and kept to its end, as the library always was.
struct FmifsLibrary {
    std::mutex mutex;
    bool attempted = false;
    platform::ModuleReference module;
    fmifs::ChkdskProc Chkdsk = nullptr;
    fmifs::FormatExProc FormatEx = nullptr;
    void* EnableVolumeCompession = nullptr;  // looked up by the name the program always used
};

FmifsLibrary& Library() {
    static FmifsLibrary& library = *new FmifsLibrary;
    return library;
}

// The component whose run is under way on this thread; the library's
// callbacks carry no context of their own.
thread_local TMagFmtChkDsk* live = nullptr;

void RefuseSecondRun(bool running) {
    if (running) throw FmtChkException("Format or Check Disk already running");
}

class LiveRun {
public:
    LiveRun(TMagFmtChkDsk& component, bool& running) : previous_(live), running_(running) {
        RefuseSecondRun(running_);
        running_ = true;
        live = &component;
    }
    ~LiveRun() {
        live = previous_;
        running_ = false;
    }
    LiveRun(const LiveRun&) = delete;
    LiveRun& operator=(const LiveRun&) = delete;

private:
    TMagFmtChkDsk* previous_;
    bool& running_;
};

bool RootIsWellFormed(const std::string& root) { return root.size() >= 2 && root[1] == ':'; }

// Bytes of the volume (total or free); -1 when it has no file system here.
std::int64_t DiskBytes(const std::string& root, bool free) {
    platform::DWORD per_cluster = 0, per_sector = 0, free_clusters = 0, clusters = 0;
    if (!platform::GetDiskFreeSpaceA(root, &per_cluster, &per_sector, &free_clusters, &clusters)) return -1;
    return std::int64_t{per_cluster} * per_sector * (free ? free_clusters : clusters);
}

std::string OutputText(void* argument) {
    const auto* output = static_cast<const fmifs::TEXTOUTPUT*>(argument);
    return output && output->Output ? platform::Trim(output->Output) : std::string();
}

// A command the library sends that carries nothing to show.
constexpr platform::DWORD kNothingToSay = 25;

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

// The library's two callbacks, with the texts each command means.
struct FmifsCallbacks {
    static fmifs::BOOLEAN Relay(TMagFmtChkDsk& c, platform::DWORD command, void* argument, const std::string& text) {
        bool cancel = false;
        if (command == fmifs::PROGRESS)
            cancel = c.DoProgress(static_cast<int>(*static_cast<platform::DWORD*>(argument)));
        else if (!text.empty()) cancel = c.DoInfo(text);
        return cancel ? 0 : 1;
    }

    static fmifs::BOOLEAN Format(fmifs::CALLBACKCOMMAND command, platform::DWORD, void* argument) {
        TMagFmtChkDsk* c = live;
        if (!c) return 1;
        std::string text;
        switch (static_cast<platform::DWORD>(command)) {
        case fmifs::PROGRESS: break;
        case fmifs::STRUCTURECREATED: text = "Format Disk: Structure Created OK"; break;
        case fmifs::INSUFFICIENTRIGHTS: text = "Format Disk: Insufficient Rights"; break;
        case fmifs::FSNOTSUPPORTED: text = "Format Disk: FS Not Supported"; break;
        case fmifs::VOLUMEINUSE: text = "Format Disk: Volume In-Use"; break;
        case fmifs::CANTQUICKFORMAT: text = "Format Disk: Quick Format Not Allowed"; break;
        case fmifs::DONE:
            c->Succeeded = *static_cast<fmifs::BOOLEAN*>(argument) != 0;
            text = c->Succeeded ? "Format Disk: Finished OK" : "Format Disk: Unable to Finish";
            break;
        case fmifs::OUTPUT: text = OutputText(argument); break;
        case fmifs::STRUCTUREPROGRESS:
        case kNothingToSay: break;
        case fmifs::CLUSTERSIZETOOSMALL: text = "Format Disk: Cluster Size Too Small"; break;
        default: text = "Format Disk Callback: " + std::to_string(command); break;
        }
        return Relay(*c, command, argument, text);
    }

    static fmifs::BOOLEAN Check(fmifs::CALLBACKCOMMAND command, platform::DWORD, void* argument) {
        TMagFmtChkDsk* c = live;
        if (!c) return 1;
        std::string text;
        switch (static_cast<platform::DWORD>(command)) {
        case fmifs::PROGRESS: break;
        case fmifs::INSUFFICIENTRIGHTS: text = "Check Disk: Insufficient Rights"; break;
        case fmifs::FSNOTSUPPORTED: text = "Check Disk: FS Not Supported"; break;
        case fmifs::VOLUMEINUSE: text = "Check Disk: Volume In-Use"; break;
        case fmifs::DONE:
            c->Succeeded = *static_cast<fmifs::BOOLEAN*>(argument) != 0;
            text = c->Succeeded ? "Check Disk: Finished OK" : "Check Disk: Unable to Finish";
            break;
        case fmifs::OUTPUT: {
            text = OutputText(argument);
            const bool problem = Contains(text, "found problems") || Contains(text, "Correcting errors") ||
                                 Contains(text, "Errors found") || Contains(text, "(fix) option");
            const bool allocated = Contains(text, "free space marked as allocated");
            if (problem) c->FileSysProblem = true;
            if (allocated) c->FreeSpaceAlloc = true;
            if ((problem || allocated) && c->FirstErrorLine.empty()) c->FirstErrorLine = text;
            break;
        }
        case kNothingToSay: break;
        default: text = "Check Disk Callback: " + std::to_string(command); break;
        }
        return Relay(*c, command, argument, text);
    }
};

bool TMagFmtChkDsk::LoadFmifs() {
    FmifsLibrary& library = Library();
    std::lock_guard guard(library.mutex);
    if (!library.attempted) {
        library.attempted = true;
        library.module = platform::ModuleReference("fmifs.dll");
        if (library.module) {
            library.Chkdsk = reinterpret_cast<fmifs::ChkdskProc>(library.module.symbol("Chkdsk"));
            library.FormatEx = reinterpret_cast<fmifs::FormatExProc>(library.module.symbol("FormatEx"));
            library.EnableVolumeCompession = library.module.symbol("EnableVolumeCompession");
        }
    }
    return library.Chkdsk != nullptr;
}

int TMagFmtChkDsk::ClusterSizeFor(int cluster_size) {
    for (int size = 512; size <= 65536; size *= 2)
        if (cluster_size == size) return size;
    return 0;
}

bool TMagFmtChkDsk::DoProgress(int percent) {
    bool cancel = false;
    if (onProgressEvent) onProgressEvent(percent, cancel);
    return cancel;
}

bool TMagFmtChkDsk::DoInfo(const std::string& text) {
    bool cancel = false;
    if (onInfoEvent) onInfoEvent(text, cancel);
    return cancel;
}

bool TMagFmtChkDsk::CheckDrive(const std::string& root, bool exclusive, std::string& file_system) {
    if (!RootIsWellFormed(root)) throw FmtChkException("Invalid Drive Specification: " + root);
    platform::VolumeInformation info;
    if (!platform::GetVolumeInformationA(root, info)) throw FmtChkException("Drive Not Found: " + root);
    file_system = info.file_system;
    DoInfo(root + " Volume Label: " + info.label + ", File System: " + info.file_system);
    if (exclusive) {
        platform::Handle volume = platform::CreateFile(std::string("\\\\.\\") + root[0] + ":", platform::GENERIC_WRITE,
                                                       0, platform::OPEN_EXISTING, 0);
        if (!volume) throw FmtChkException("Drive In Use: " + root);
    }
    return true;
}

bool TMagFmtChkDsk::RunFormat(const std::string& given_root, int media, int cluster_size, bool quick,
                              const std::string& given_label, int file_system) {
    RefuseSecondRun(running_);
    if (!LoadFmifs() || !Library().FormatEx) return false;
    const std::string root = platform::ToUpper(given_root), label = platform::ToUpper(given_label);
    platform::DWORD media_type = 0;
    if (media == 0) media_type = fmifs::FMIFS_HARDDISK;
    else if (media == 1) media_type = fmifs::FMIFS_REMOVABLE;
    else return false;
    static const std::array<const char16_t*, 5> kFileSystems = {u"NTFS", u"FAT", u"FAT32", u"exFAT", u"UDF"};
    if (file_system < 0 || file_system >= static_cast<int>(kFileSystems.size())) return false;
    const int cluster = ClusterSizeFor(cluster_size);

    Succeeded = false;
    std::string existing;
    if (DiskBytes(root, false) < 101) {
        if (!RootIsWellFormed(root)) throw FmtChkException("Invalid Drive Specification: " + root);
        DoInfo(root + " Appears to be Unformatted or No Drive");
    } else {
        DoInfo(root + " Checking Existing Drive Format");
        CheckDrive(root, true, existing);
    }
    {
        LiveRun run(*this, running_);
        DoInfo(root + " Starting to Format Drive");
        Library().FormatEx(platform::Utf8ToUtf16(root).c_str(), media_type,
                           kFileSystems[static_cast<std::size_t>(file_system)],
                           platform::Utf8ToUtf16(label).c_str(), quick ? 1 : 0, static_cast<platform::DWORD>(cluster),
                           &FmifsCallbacks::Format);
    }
    if (!Succeeded) return false;
    DoInfo(root + " Checking New Drive Format");
    try {
        CheckDrive(root, false, existing);
        DoInfo(root + " New Volume Space: " + std::to_string(DiskBytes(root, true)));
    } catch (const FmtChkException&) {
        // A file system this machine cannot read back (UDF) is still made.
    }
    return true;
}

bool TMagFmtChkDsk::RunCheck(const std::string& given_root, bool correct_errors, bool scan_drive,
                             bool check_only_if_dirty, bool verbose) {
    RefuseSecondRun(running_);
    if (!LoadFmifs()) return false;
    const std::string root = platform::ToUpper(given_root);
    std::string file_system;
    CheckDrive(root, correct_errors, file_system);
    LiveRun run(*this, running_);
    Succeeded = false;
    FileSysProblem = false;
    FreeSpaceAlloc = false;
    Library().Chkdsk(platform::Utf8ToUtf16(root).c_str(), platform::Utf8ToUtf16(file_system).c_str(),
                     correct_errors ? 1 : 0, verbose ? 1 : 0, check_only_if_dirty ? 1 : 0, scan_drive ? 1 : 0,
                     nullptr, nullptr, &FmifsCallbacks::Check);
    return FileSysProblem || Succeeded;
}

}  // namespace disk
