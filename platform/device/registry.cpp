#include "platform/device/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <cstring>

#include "platform/base/byte_order.h"
#include "platform/device/host/backing_reader.h"
#include "platform/device/device_naming.h"
#include "platform/device/embedded/embedded_host.h"
#include "platform/device/filesystems/probe.h"
#include "platform/device/linux/linux_host.h"
#include "platform/base/ascii.h"
#include "platform/base/file_in_use.h"
#include "platform/os/file_facts.h"
#include "platform/device/linux/loop_device.h"
#include "platform/base/ini_file.h"
#include "platform/base/scope_guard.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::device {

// ---- snapshot look-ups ----------------------------------------------------

const DiskInfo* Snapshot::disk(int number) const {
    for (const auto& d : disks)
        if (d.number == number) return &d;
    return nullptr;
}

const VolumeInfo* Snapshot::volume_by_letter(char letter) const {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (const auto& v : volumes)
        if (v.letter == letter) return &v;
    return nullptr;
}

const VolumeInfo* Snapshot::volume_by_guid(const std::string& guid) const {
    for (const auto& v : volumes)
        if (EqualsNoCase(GuidToString(v.guid), guid)) return &v;
    return nullptr;
}

const VolumeInfo* Snapshot::volume_by_index(int index) const {
    for (const auto& v : volumes)
        if (v.index == index) return &v;
    return nullptr;
}

std::vector<const VolumeInfo*> Snapshot::volumes_of(int disk_number) const {
    std::vector<const VolumeInfo*> result;
    for (const auto& v : volumes)
        if (v.disk == disk_number) result.push_back(&v);
    return result;
}

// ---- persisted state ------------------------------------------------------

namespace {

// The state file, read and written under an exclusive flock so that two
// processes on one host do not hand out the same letter.
class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {
        lock_ = UniqueFd(::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (lock_) ::flock(lock_.get(), LOCK_EX);
        ini_ = IniFile::Load(path_);
    }
    ~StateFile() {
        if (lock_) ::flock(lock_.get(), LOCK_UN);
    }
    IniFile& ini() { return ini_; }
    bool save() {
        dirty_ = false;
        return ini_.Save(path_);
    }
    void touch() { dirty_ = true; }
    bool dirty() const { return dirty_; }

private:
    std::string path_;
    UniqueFd lock_;
    IniFile ini_;
    bool dirty_ = false;
};

constexpr const char* kLetters = "letters";
constexpr const char* kOffline = "offline volumes";
std::string DiskSection(const DiskInfo& disk) { return "disk " + disk.identity; }

std::uint64_t Fnv1a(const std::string& text, std::uint64_t seed) {
    std::uint64_t hash = 1469598103934665603ULL ^ seed;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// The registry is never destroyed: handles kept in static sets (the volume
// locks of a copy) are closed by their destructors at exit, in no order we
// choose, and they tell the registry they let go.
std::unique_ptr<Registry>& Slot() {
    static auto* registry = new std::unique_ptr<Registry>;
    return *registry;
}

// Registries replaced by Reset or Install. A thread that asked for the
// registry before (a device monitor starting up or refreshing) may still be
// inside it, and a handle opened through it may still hold a claim, so a
// replaced registry stays alive until the program ends.
std::vector<std::unique_ptr<Registry>>& Retired() {
    static auto* retired = new std::vector<std::unique_ptr<Registry>>;
    return *retired;
}
std::mutex& SlotMutex() {
    static auto* m = new std::mutex;
    return *m;
}

std::unique_ptr<Host> HostFromEnvironment() {
    const char* manifest = std::getenv("TARNOVELL_HOST");
    if (manifest && *manifest) return std::make_unique<EmbeddedHost>(manifest);
    return std::make_unique<LinuxHost>();
}

}  // namespace

GUID SynthesizeVolumeGuid(const std::string& disk_identity, std::uint32_t mbr_signature, std::int64_t start) {
    std::string key = disk_identity + "|" + std::to_string(mbr_signature) + "|" + std::to_string(start);
    std::uint64_t a = Fnv1a(key, 0x5441524e4f56454cULL);  // "TARNOVEL"
    std::uint64_t b = Fnv1a(key, a);
    GUID guid{};
    guid.Data1 = static_cast<std::uint32_t>(a >> 32);
    guid.Data2 = static_cast<std::uint16_t>(a >> 16);
    guid.Data3 = static_cast<std::uint16_t>((a & 0x0fff) | 0x4000);  // version 4 layout
    StoreLe64(guid.Data4, b);
    guid.Data4[0] = static_cast<std::uint8_t>((guid.Data4[0] & 0x3f) | 0x80);
    return guid;
}

bool GetsLetterAutomatically(const PartitionRecord& partition) {
    if (partition.style == PARTITION_STYLE_GPT)
        return !(partition.type_guid == kGptEfiSystem || partition.type_guid == kGptMsReserved ||
                 partition.type_guid == kGptMsRecovery);
    // EFI system (0xEF) and Windows recovery (0x27) partitions stay without a letter
    return partition.mbr_type != 0xEF && partition.mbr_type != 0x27;
}

namespace {

bool IsDriveLetter(const std::string& text) {
    return text.size() == 1 && AsciiUpper(text[0]) >= 'A' && AsciiUpper(text[0]) <= 'Z';
}

bool GetsLetterAutomatically(const Snapshot& snap, const VolumeInfo& v) {
    const DiskInfo* disk = snap.disk(v.disk);
    if (!disk || disk->no_automatic_letters) return false;
    for (const auto& p : disk->layout.entries)
        if (p.number == v.partition_number && v.partition_number != 0) return GetsLetterAutomatically(p);
    return true;
}

// A remembered letter is a preference, not a reservation: a volume that
// wants one takes the first letter from C: that no present volume holds and
// no absent one remembers, and when every letter is remembered, the first
// whose owner is absent. 0 when present volumes hold them all.
char ChooseLetter(const IniFile& state, const Snapshot& snap, const std::set<char>& in_use, const std::string& guid) {
    std::set<char> remembered;
    if (const auto* section = state.FindSection(kLetters))
        for (const auto& [owner, letter] : section->entries)
            if (IsDriveLetter(letter) && !EqualsNoCase(owner, guid) && !snap.volume_by_guid(owner))
                remembered.insert(AsciiUpper(letter[0]));
    for (char c = 'C'; c <= 'Z'; ++c)
        if (!in_use.count(c) && !remembered.count(c)) return c;
    for (char c = 'C'; c <= 'Z'; ++c)
        if (!in_use.count(c)) return c;
    return 0;
}

// Records `letter` as the volume's; an absent volume that remembered it
// gets another one when it comes back.
void GiveLetter(IniFile& state, const std::string& guid, char letter) {
    std::vector<std::string> former;
    if (const auto* section = state.FindSection(kLetters))
        for (const auto& [owner, remembered] : section->entries)
            if (IsDriveLetter(remembered) && AsciiUpper(remembered[0]) == letter && !EqualsNoCase(owner, guid))
                former.push_back(owner);
    for (const auto& owner : former) state.Remove(kLetters, owner);
    state.Set(kLetters, guid, std::string(1, letter));
}

}  // namespace

// ---- the registry -----------------------------------------------------------

Registry& Registry::instance() {
    std::lock_guard guard(SlotMutex());
    if (!Slot()) Slot() = std::make_unique<Registry>(HostFromEnvironment());
    return *Slot();
}

void Registry::Reset() {
    std::lock_guard guard(SlotMutex());
    if (Slot()) Retired().push_back(std::move(Slot()));
}

void Registry::Install(std::unique_ptr<Host> host) {
    std::lock_guard guard(SlotMutex());
    if (Slot()) Retired().push_back(std::move(Slot()));
    Slot() = std::make_unique<Registry>(std::move(host));
}

// The lock on one disk's backing: shared while handles of ours write it,
// exclusive while an operation of ours holds it.
struct Registry::DiskLock {
    UniqueFd fd;
    int writers = 0;
    int holds = 0;
    std::unique_ptr<DiskHold> host_hold;
};

Registry::Registry(std::unique_ptr<Host> host) : host_(std::move(host)) { SetFileInUseQuery(&FileBacksADisk); }

Registry::~Registry() = default;

std::shared_ptr<const Snapshot> Registry::current() {
    std::lock_guard guard(mutex_);
    return current_;
}

std::shared_ptr<const Snapshot> Registry::snapshot() {
    {
        std::lock_guard guard(mutex_);
        if (current_) return current_;
    }
    return refresh();
}

namespace {
// Set while this thread builds a picture of the machine: a file the build
// opens is asked about against the picture there was, not a new one.
thread_local bool building_snapshot = false;
}  // namespace

std::shared_ptr<const Snapshot> Registry::refresh() {
    std::lock_guard rebuilding(refresh_mutex_);
    building_snapshot = true;
    ScopeGuard built_now([] { building_snapshot = false; });
    auto built = build();
    std::lock_guard guard(mutex_);
    current_ = built;
    busy_cache_.clear();
    return current_;
}

namespace {

// A disk an operation of ours holds keeps the picture it had when the hold
// began (its volumes, but for their letters), until the hold ends.
bool KeepHeldPicture(const Registry& registry, const Snapshot* previous, DiskInfo& disk, Snapshot& snap) {
    if (!previous || !registry.disk_held(disk.backing)) return false;
    const DiskInfo* before = nullptr;
    for (const auto& d : previous->disks)
        if (d.backing == disk.backing) before = &d;
    if (!before) return false;
    const int number = disk.number;
    disk = *before;
    disk.number = number;
    for (const VolumeInfo* v : previous->volumes_of(before->number)) {
        VolumeInfo kept = *v;
        kept.disk = number;
        kept.letter = 0;  // given again, as every volume's
        snap.volumes.push_back(std::move(kept));
    }
    return true;
}

// The disk's attributes and table, and the volumes on it as the host sees
// them: none for a disk that cannot be opened or is offline.
std::vector<VolumeInfo> ReadVolumes(Host& host, DiskInfo& disk, const IniFile& state) {
    disk.attributes = static_cast<std::uint64_t>(state.GetInt(DiskSection(disk), "attributes", 0));
    const BackingLocation where = host.disk_backing(disk);
    UniqueFd fd(::open(where.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    ReadAt read = ReaderOverDescriptor(fd.get(), where.offset, disk.size);
    disk.layout = ReadDiskLayout(read, disk.size, disk.sector_size);
    if (disk.attributes & DISK_ATTRIBUTE_OFFLINE) return {};

    std::vector<VolumeInfo> volumes;
    for (const auto& partition : disk.layout.volumes()) {
        VolumeInfo v;
        v.disk = disk.number;
        v.partition_number = partition.number;
        v.start = partition.start;
        v.length = std::min(partition.length, std::max<std::int64_t>(0, disk.size - partition.start));
        if (v.length <= 0) continue;
        v.filesystem = ProbeFileSystem(read, v.start, v.length);
        v.guid = partition.style == PARTITION_STYLE_GPT && !IsNullGuid(partition.partition_id)
                     ? partition.partition_id
                     : SynthesizeVolumeGuid(disk.identity, disk.layout.mbr_signature, partition.start);
        volumes.push_back(std::move(v));
    }
    if (disk.layout.style == PARTITION_STYLE_RAW) {
        // A file system straight on the disk, as on many USB sticks.
        std::string fs = ProbeFileSystem(read, 0, disk.size);
        if (!fs.empty()) {
            VolumeInfo v;
            v.disk = disk.number;
            v.length = disk.size;
            v.filesystem = fs;
            v.guid = SynthesizeVolumeGuid(disk.identity, 0, 0);
            volumes.push_back(std::move(v));
        }
    }
    host.annotate_volumes(disk, volumes);
    return volumes;
}

// The disk's volumes join the picture, each with a name no other present
// volume has, and offline as the state file remembers.
void AddVolumes(Snapshot& snap, const DiskInfo& disk, std::vector<VolumeInfo> volumes, const IniFile& state) {
    for (auto& v : volumes) {
        // A cloned disk carries the same GPT partition GUIDs as its source.
        auto clash = [&](const VolumeInfo& other) { return &other != &v && other.guid == v.guid; };
        if (std::any_of(snap.volumes.begin(), snap.volumes.end(), clash))
            v.guid = SynthesizeVolumeGuid(disk.identity, disk.layout.mbr_signature, v.start);
        // Two entries of one table may start at one sector: the second
        // is a volume of its own, with a name and a letter of its own.
        if (std::any_of(snap.volumes.begin(), snap.volumes.end(), clash))
            v.guid = SynthesizeVolumeGuid(disk.identity + "|entry " + std::to_string(v.partition_number),
                                          disk.layout.mbr_signature, v.start);
        v.guid_path = "\\\\?\\Volume" + GuidToString(v.guid) + "\\";
        v.offline = state.GetBool(kOffline, GuidToString(v.guid), false);
        snap.volumes.push_back(std::move(v));
    }
}

// Letters: the remembered one when no present volume holds it, else the
// next free one from C: for volumes that get one automatically (and for a
// volume whose remembered letter another present volume took). A letter
// given is remembered in the state file.
void GiveLetters(Snapshot& snap, StateFile& state) {
    std::set<char> in_use;
    for (auto& v : snap.volumes) {
        auto remembered = state.ini().Get(kLetters, GuidToString(v.guid));
        if (remembered && IsDriveLetter(*remembered) && !in_use.count(AsciiUpper((*remembered)[0]))) {
            v.letter = AsciiUpper((*remembered)[0]);
            in_use.insert(v.letter);
        }
    }
    for (auto& v : snap.volumes) {
        if (v.letter) continue;
        const std::string guid = GuidToString(v.guid);
        auto remembered = state.ini().Get(kLetters, guid);
        if (remembered && remembered->empty()) continue;  // its letter was taken away on purpose
        if (!remembered && !GetsLetterAutomatically(snap, v)) continue;
        if (char letter = ChooseLetter(state.ini(), snap, in_use, guid)) {
            v.letter = letter;
            in_use.insert(letter);
            GiveLetter(state.ini(), guid, letter);
            state.touch();
        }
    }
}

}  // namespace

std::shared_ptr<const Snapshot> Registry::build() {
    auto snap = std::make_shared<Snapshot>();
    const std::shared_ptr<const Snapshot> previous = current();
    try {
        snap->disks = host_->enumerate_disks();
    } catch (const std::exception& e) {
        // A machine that cannot be told is a machine without disks, and says
        // why; its state file is not touched (nor made beside a missing manifest).
        std::lock_guard guard(mutex_);
        problem_ = e.what();
        snap->generation = ++generation_;
        return snap;
    }
    {
        std::lock_guard guard(mutex_);
        problem_.clear();
    }
    StateFile state(host_->state_path());
    for (auto& disk : snap->disks)
        if (!KeepHeldPicture(*this, previous.get(), disk, *snap))
            AddVolumes(*snap, disk, ReadVolumes(*host_, disk, state.ini()), state.ini());
    int index = 1;
    for (auto& v : snap->volumes) v.index = index++;
    GiveLetters(*snap, state);
    if (state.dirty()) state.save();

    std::lock_guard guard(mutex_);
    snap->generation = ++generation_;
    return snap;
}

std::string Registry::problem() {
    snapshot();
    std::lock_guard guard(mutex_);
    return problem_;
}

const VolumeInfo* Registry::resolve_volume(const Snapshot& snap, const DevicePath& path) const {
    switch (path.kind) {
    case PathKind::LetterVolume: return snap.volume_by_letter(path.letter);
    case PathKind::GuidVolume: return snap.volume_by_guid(path.guid);
    case PathKind::HarddiskVolume: return snap.volume_by_index(path.volume_index);
    default: return nullptr;
    }
}

bool Registry::assign_letter(const std::string& guid, char letter, char* assigned) {
    auto snap = snapshot();
    const VolumeInfo* volume = snap->volume_by_guid(guid);
    if (!volume) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    {
        StateFile state(host_->state_path());
        std::set<char> in_use;
        for (const auto& v : snap->volumes)
            if (v.letter && v.guid != volume->guid) in_use.insert(v.letter);
        if (volume->letter && letter == 0) letter = volume->letter;
        if (letter == 0) letter = ChooseLetter(state.ini(), *snap, in_use, GuidToString(volume->guid));
        if (letter < 'A' || letter > 'Z' || in_use.count(letter) || (volume->letter && volume->letter != letter)) {
            // Windows keeps one letter per volume: a second one is refused.
            SetLastError(volume->letter && volume->letter != letter ? ERROR_INVALID_PARAMETER : ERROR_ALREADY_EXISTS);
            return false;
        }
        GiveLetter(state.ini(), GuidToString(volume->guid), letter);
        if (!state.save()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    if (assigned) *assigned = letter;
    refresh();
    return true;
}

bool Registry::remove_letter(char letter) {
    auto snap = snapshot();
    const VolumeInfo* volume = snap->volume_by_letter(letter);
    if (!volume) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    {
        StateFile state(host_->state_path());
        state.ini().Set(kLetters, GuidToString(volume->guid), "");
        if (!state.save()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    refresh();
    return true;
}

bool Registry::set_disk_attributes(int disk_number, std::uint64_t attributes, std::uint64_t mask) {
    auto snap = snapshot();
    const DiskInfo* disk = snap->disk(disk_number);
    if (!disk) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::uint64_t updated = (disk->attributes & ~mask) | (attributes & mask);
    if ((mask & DISK_ATTRIBUTE_READ_ONLY) &&
        !host_->apply_read_only(*disk, (updated & DISK_ATTRIBUTE_READ_ONLY) != 0))
        return false;
    {
        StateFile state(host_->state_path());
        state.ini().Set(DiskSection(*disk), "attributes", std::to_string(updated));
        if (!state.save()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    refresh();
    return true;
}

bool Registry::set_volume_offline(const std::string& guid, bool offline) {
    {
        StateFile state(host_->state_path());
        if (offline) state.ini().Set(kOffline, guid, "1");
        else state.ini().Remove(kOffline, guid);
        if (!state.save()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    refresh();
    return true;
}

namespace {

// One key for each way of naming a device that can come to mean another:
// a disk number, a letter, a volume number.
std::string ChoiceKey(const std::string& path) {
    const DevicePath parsed = ParseDevicePath(path);
    switch (parsed.kind) {
    case PathKind::Disk: return "disk " + std::to_string(parsed.disk);
    case PathKind::LetterVolume: return std::string("letter ") + parsed.letter;
    case PathKind::HarddiskVolume: return "volume " + std::to_string(parsed.volume_index);
    default: return "";
    }
}

}  // namespace

void Registry::choose(const DeviceIdentity& identity) {
    const std::string key = ChoiceKey(identity.path);
    if (key.empty()) return;
    std::lock_guard guard(mutex_);
    chosen_[key] = identity;
}

std::optional<DeviceIdentity> Registry::chosen(const std::string& path) const {
    const std::string key = ChoiceKey(path);
    std::lock_guard guard(mutex_);
    auto it = chosen_.find(key);
    if (key.empty() || it == chosen_.end()) return std::nullopt;
    return it->second;
}

bool Registry::still_chosen(const std::string& path) {
    const std::optional<DeviceIdentity> choice = chosen(path);
    if (!choice) return true;
    // What the name means now, not what the last refresh saw: the monitor
    // may not have taken the change in yet.
    const std::optional<DeviceIdentity> now = IdentityIn(*refresh(), path);
    return now && choice->same_device(*now);
}

void Registry::note_locked(const std::string& guid, int delta) {
    std::lock_guard guard(mutex_);
    if (delta > 0) locked_.insert(guid);
    else if (auto it = locked_.find(guid); it != locked_.end()) locked_.erase(it);
}

void Registry::note_dismounted(const std::string& guid, int delta) {
    std::lock_guard guard(mutex_);
    if (delta > 0) dismounted_.insert(guid);
    else if (auto it = dismounted_.find(guid); it != dismounted_.end()) dismounted_.erase(it);
}

bool Registry::held_by_us(const std::string& guid) const {
    std::lock_guard guard(mutex_);
    return locked_.count(guid) || dismounted_.count(guid);
}

std::size_t Registry::locked_volume_count() const {
    std::lock_guard guard(mutex_);
    return std::set<std::string>(locked_.begin(), locked_.end()).size();
}

std::vector<std::pair<ByteRange, std::string>> Registry::ranges_in_use(const Snapshot& snap, int disk_number) {
    const DiskInfo* disk = snap.disk(disk_number);
    if (!disk || disk_held(disk->backing)) return {};
    std::uint64_t busy_generation = host_->busy_generation();
    std::vector<std::pair<ByteRange, std::string>> ranges;
    {
        std::lock_guard guard(mutex_);
        for (const auto& cache : busy_cache_)
            if (cache.disk == disk_number && cache.snapshot_generation == snap.generation &&
                cache.busy_generation == busy_generation)
                ranges = cache.ranges;
    }
    if (ranges.empty()) {
        auto volumes_here = snap.volumes_of(disk_number);
        std::vector<VolumeInfo> volumes;
        for (const auto* v : volumes_here) volumes.push_back(*v);
        for (const auto& range : host_->busy_ranges(*disk, volumes)) {
            std::string guid;
            for (const auto& v : volumes)
                if (v.start == range.start && v.length == range.length) guid = GuidToString(v.guid);
            ranges.emplace_back(range, guid);
        }
        std::lock_guard guard(mutex_);
        std::erase_if(busy_cache_, [&](const BusyCache& c) { return c.disk == disk_number; });
        busy_cache_.push_back({disk_number, snap.generation, busy_generation, ranges});
        if (ranges.empty()) busy_cache_.back().ranges.push_back({ByteRange{0, 0}, ""});  // remembers "none"
    }
    std::erase_if(ranges, [&](const auto& entry) {
        return entry.first.length == 0 || (!entry.second.empty() && held_by_us(entry.second));
    });
    return ranges;
}

bool Registry::write_allowed(int disk_number, std::int64_t offset, std::int64_t length) {
    auto snap = snapshot();
    for (const auto& [range, guid] : ranges_in_use(*snap, disk_number)) {
        if (!range.overlaps(offset, length)) continue;
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

std::vector<VolumeInfo> Registry::volumes_in_the_way(int disk_number, std::int64_t offset, std::int64_t length) {
    auto snap = snapshot();
    std::vector<VolumeInfo> in_the_way;
    for (const auto& [range, guid] : ranges_in_use(*snap, disk_number)) {
        if (!range.overlaps(offset, length)) continue;
        for (const VolumeInfo* volume : snap->volumes_of(disk_number))
            if (volume->start == range.start && volume->length == range.length) in_the_way.push_back(*volume);
    }
    return in_the_way;
}

// ---- the locks every process sees -------------------------------------------------

namespace {

// Another process's hold of a disk lasts an operation; the system's own
// look at a disk (udev probes a disk under a shared lock of the same kind)
// lasts a moment, and is waited for.
constexpr auto kHoldPatience = std::chrono::seconds(3);

bool Flock(int fd, int operation) {
    while (::flock(fd, operation | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // Only another holder refuses; a file system without such locks has
        // no other holder to keep out.
        if (errno == EWOULDBLOCK) return false;
        break;
    }
    return true;
}

}  // namespace

bool Registry::begin_disk_writes(const DiskInfo& disk) {
    std::lock_guard guard(disk_locks_mutex_);
    auto& entry = disk_locks_[disk.backing];
    if (!entry) entry = std::make_unique<DiskLock>();
    if (!entry->fd) entry->fd.reset(::open(disk.backing.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (entry->fd && entry->holds == 0 && entry->writers == 0 && !Flock(entry->fd.get(), LOCK_SH)) {
        disk_locks_.erase(disk.backing);
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    ++entry->writers;
    return true;
}

void Registry::end_disk_writes(const std::string& backing) {
    std::lock_guard guard(disk_locks_mutex_);
    auto it = disk_locks_.find(backing);
    if (it == disk_locks_.end()) return;
    if (--it->second->writers <= 0 && it->second->holds == 0) disk_locks_.erase(it);  // closing lets go
}

bool Registry::hold_disk(const DiskInfo& disk) {
    {
        std::lock_guard guard(disk_locks_mutex_);
        auto& entry = disk_locks_[disk.backing];
        if (!entry) entry = std::make_unique<DiskLock>();
        if (entry->holds > 0) {
            ++entry->holds;
            return true;
        }
        if (!entry->fd) entry->fd.reset(::open(disk.backing.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        bool locked = !entry->fd;
        for (const auto deadline = std::chrono::steady_clock::now() + kHoldPatience; !locked;) {
            locked = Flock(entry->fd.get(), LOCK_EX);
            if (locked || std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (locked) entry->host_hold = host_->hold_disk(disk);
        if (!locked || !entry->host_hold) {
            const DWORD error = locked ? GetLastError() : DWORD{ERROR_SHARING_VIOLATION};
            // Converting a lock lets go of the old one first: our writers'
            // share is taken again.
            if (entry->writers == 0) disk_locks_.erase(disk.backing);
            else if (entry->fd) Flock(entry->fd.get(), LOCK_SH);
            SetLastError(error);
            return false;
        }
        entry->holds = 1;
    }
    return true;
}

void Registry::release_disk(const std::string& backing) {
    std::lock_guard guard(disk_locks_mutex_);
    auto it = disk_locks_.find(backing);
    if (it == disk_locks_.end() || it->second->holds <= 0) return;
    if (--it->second->holds > 0) return;
    const DWORD error = GetLastError();
    it->second->host_hold.reset();
    if (it->second->writers == 0) disk_locks_.erase(it);
    else if (it->second->fd) Flock(it->second->fd.get(), LOCK_SH);
    SetLastError(error);
}

bool Registry::disk_held(const std::string& backing) const {
    std::lock_guard guard(disk_locks_mutex_);
    auto it = disk_locks_.find(backing);
    return it != disk_locks_.end() && it->second->holds > 0;
}

bool FileBacksADisk(const std::string& path) {
    const auto facts = FileFactsOf(path);
    if (!facts || !facts->is_regular()) return false;
    Registry& registry = Registry::instance();
    std::shared_ptr<const Snapshot> snap;
    snap = building_snapshot ? registry.current() : registry.snapshot();
    if (snap)
        for (const auto& disk : snap->disks) {
            const auto backing = FileFactsOf(disk.backing);
            if (backing && backing->is_regular() && backing->same_file(*facts)) return true;
        }
    return AnyLoopStandsOn(*facts);
}

}  // namespace platform::device
