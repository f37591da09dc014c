#include "platform/device/host/attached_disks.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/ini_file.h"
#include "platform/base/unique_fd.h"

namespace platform::device {

namespace {

constexpr const char* kSectionPrefix = "virtual disk ";

// The state file's lock, as the registry takes it.
class StateLock {
public:
    explicit StateLock(const std::string& state_path)
        : fd_(::open((state_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_) ::flock(fd_.get(), LOCK_EX);
    }
    ~StateLock() {
        if (fd_) ::flock(fd_.get(), LOCK_UN);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    UniqueFd fd_;
};

bool IsRecordSection(const std::string& name) { return name.rfind(kSectionPrefix, 0) == 0; }

VirtualDiskAttachment ReadRecord(const IniFile& ini, const std::string& section) {
    VirtualDiskAttachment a;
    a.image = ini.GetString(section, "image");
    a.backing = ini.GetString(section, "backing");
    a.size = ini.GetInt(section, "size", 0);
    a.read_only = ini.GetBool(section, "read_only", false);
    a.no_drive_letter = ini.GetBool(section, "no_drive_letter", false);
    a.permanent = ini.GetBool(section, "permanent", false);
    a.owner_pid = static_cast<int>(ini.GetInt(section, "owner_pid", 0));
    a.server_pid = static_cast<int>(ini.GetInt(section, "server_pid", 0));
    a.mount_dir = ini.GetString(section, "mount_dir");
    a.number = static_cast<int>(ini.GetInt(section, "number", -1));
    a.device = ini.GetString(section, "device");
    return a;
}

void WriteRecord(IniFile& ini, const std::string& section, const VirtualDiskAttachment& a) {
    ini.RemoveSection(section);
    ini.Set(section, "image", a.image);
    ini.Set(section, "backing", a.backing);
    ini.Set(section, "size", std::to_string(a.size));
    ini.Set(section, "read_only", a.read_only ? "1" : "0");
    ini.Set(section, "no_drive_letter", a.no_drive_letter ? "1" : "0");
    ini.Set(section, "permanent", a.permanent ? "1" : "0");
    ini.Set(section, "owner_pid", std::to_string(a.owner_pid));
    ini.Set(section, "server_pid", std::to_string(a.server_pid));
    ini.Set(section, "mount_dir", a.mount_dir);
    ini.Set(section, "number", std::to_string(a.number));
    ini.Set(section, "device", a.device);
}

std::vector<AttachmentRecord> RecordsOf(const IniFile& ini) {
    std::vector<AttachmentRecord> records;
    for (const auto& section : ini.sections())
        if (IsRecordSection(section.name))
            records.push_back({section.name.substr(std::string(kSectionPrefix).size()), ReadRecord(ini, section.name)});
    return records;
}

}  // namespace

bool ProcessAlive(int pid) {
    if (pid <= 0) return false;
    if (::kill(pid, 0) == 0) return true;
    if (errno == EPERM) return true;
    return false;
}

// A zombie child still answers kill(); its /proc status tells it apart.
bool ProcessRunning(int pid) {
    if (!ProcessAlive(pid)) return false;
    std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    UniqueFd fd(::open(stat_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return true;
    char buffer[512];
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
    if (n <= 0) return true;
    buffer[n] = 0;
    std::string text(buffer);
    auto close_paren = text.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= text.size() || text[close_paren + 2] != 'Z';
}

bool AttachmentAlive(const VirtualDiskAttachment& a) {
    if (!a.permanent && !ProcessRunning(a.owner_pid)) return false;
    if (a.server_pid != 0 && !ProcessRunning(a.server_pid)) return false;
    struct stat st {};
    return !a.backing.empty() && ::stat(a.backing.c_str(), &st) == 0;
}

std::vector<AttachmentRecord> LoadAttachmentRecords(const std::string& state_path) {
    StateLock lock(state_path);
    return RecordsOf(IniFile::Load(state_path));
}

std::vector<AttachmentRecord> LiveAttachmentRecords(const std::string& state_path) {
    auto records = LoadAttachmentRecords(state_path);
    std::erase_if(records, [](const AttachmentRecord& r) { return !AttachmentAlive(r.attachment); });
    return records;
}

std::string SaveAttachmentRecord(const std::string& state_path, VirtualDiskAttachment& attachment,
                                 const KeyChooser& choose_key) {
    StateLock lock(state_path);
    IniFile ini = IniFile::Load(state_path);
    std::vector<AttachmentRecord> live;
    for (auto& record : RecordsOf(ini)) {
        if (AttachmentAlive(record.attachment)) live.push_back(std::move(record));
        else ini.RemoveSection(kSectionPrefix + record.key);
    }
    std::string key = choose_key(live, attachment);
    if (key.empty()) return "";
    WriteRecord(ini, kSectionPrefix + key, attachment);
    if (!ini.Save(state_path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return "";
    }
    return key;
}

bool RemoveAttachmentRecord(const std::string& state_path, const std::string& key) {
    StateLock lock(state_path);
    IniFile ini = IniFile::Load(state_path);
    if (!ini.HasSection(kSectionPrefix + key)) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    ini.RemoveSection(kSectionPrefix + key);
    if (!ini.Save(state_path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

}  // namespace platform::device
