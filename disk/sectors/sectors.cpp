#include "disk/sectors/sectors.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_endpoints.h"
#include "disk/copy/copy_loop.h"
#include "disk/device/handle_ops.h"
#include "disk/util/lib_helpers.h"
#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/filesystems/probe.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"

namespace disk {

using namespace platform;

namespace {

// A boot-sector or MBR file larger than this is no such file.
constexpr std::int64_t kMostFileBytes = 1 << 20;
constexpr std::size_t kBpbEnd = 84;
constexpr std::size_t kSignatureAt = 510;
constexpr std::size_t kTableAt = 446;

bool IsDevice(const std::string& path) { return device::IsDevicePath(path); }
bool IsVolume(const std::string& path) { return IsDevice(path) && !device::IsWholeDiskPath(path); }

void Tell(const OperationContext& context, const std::string& text) { context.ui().inform(text, kLibraryErrorCaption); }

// "could not createfile", with what would not open and why where the person
// reads text (the console).
void TellCannotOpen(const OperationContext& context, const std::string& path) {
    const DWORD code = GetLastError();
    context.ui().inform_failure(device::OpenFailureText("could not createfile", path, code), kLibraryErrorCaption,
                                path, code);
}

[[noreturn]] void RaiseCannotOpen(const std::string& path) {
    const DWORD code = GetLastError();
    throw std::runtime_error(
        device::OpenFailureText(platform::FailureLine("could not createfile", path, code), path, code));
}

std::string WithSystemText(const std::string& prefix, DWORD error) { return prefix + SysErrorMessage(error); }

// Why a write to `path` failed, with `prefix` before the system's text.
// A device refuses with access denied what would write under a volume in
// use or take one from under its user (a table without its partition):
// the write is refused whole, and that is what is said.
std::string WriteFailure(const std::string& prefix, const std::string& path) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && IsDevice(path))
        return "a volume of " + path + " is still in use: nothing was written";
    return WithSystemText(prefix, error);
}

// Devices unbuffered, as sector tools must write them; files as they are.
Handle OpenTarget(const std::string& path, bool write) {
    DWORD access = write ? DWORD{GENERIC_READ | GENERIC_WRITE} : DWORD{GENERIC_READ};
    DWORD flags = IsDevice(path) ? FILE_FLAG_NO_BUFFERING : FILE_ATTRIBUTE_NORMAL;
    return CreateFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, flags);
}

// A volume's sectors are written only while this process holds it locked
// and dismounted, so that no file system writes over them or keeps stale
// copies; the lock goes with the handle. False when the person chose to stop.
bool HoldForWriting(const OperationContext& context, Handle& handle, const std::string& path) {
    if (!IsVolume(path)) return true;
    if (LockVolumeHandle(handle) && DismountVolumeHandle(handle)) return true;
    return !context.ui().confirm_about("Lock and/or Dismount failed! Abort?", kProgramCaption,
                                       device::AboutDevices({path}));
}

std::int64_t SizeOf(Handle& handle, const std::string& path) {
    if (!IsDevice(path)) {
        std::int64_t size = 0;
        return GetFileSizeEx(handle, &size) ? size : 0;
    }
    return device::IsWholeDiskPath(path) ? GetDiskLength(handle) : GetPartitionLength(handle);
}

// Every byte of `out` from `at`, or false with the last error.
bool ReadBytes(Handle& handle, std::int64_t at, std::span<std::uint8_t> out) {
    return ReaderOfHandle(handle)(at, out.data(), out.size());
}

// Writes `data` at `at`. On a device the sectors it touches are read, changed
// and written whole, so a file of any length lands where it is meant to.
bool WriteBytes(Handle& handle, std::int64_t at, std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    if (handle.kind() == HandleKind::File)
        return WriteAt(handle, at, data.data(), data.size(), &done) && done == data.size();
    const std::int64_t unit = handle.sector_size();
    const std::int64_t first = at / unit * unit;
    const std::int64_t end = (at + static_cast<std::int64_t>(data.size()) + unit - 1) / unit * unit;
    AlignedBuffer region(static_cast<std::size_t>(end - first));
    auto* bytes = reinterpret_cast<std::uint8_t*>(region.data());
    if ((first != at || end != at + static_cast<std::int64_t>(data.size())) &&
        !ReadBytes(handle, first, {bytes, region.size()}))
        return false;
    std::memcpy(bytes + (at - first), data.data(), data.size());
    if (!WriteAt(handle, first, bytes, region.size(), &done)) return false;
    if (done != region.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

// True when [at, at + length) lies inside a target of `size` bytes; says
// so otherwise.
bool InRange(const OperationContext& context, const std::string& path, std::int64_t size, std::int64_t at,
             std::int64_t length) {
    if (at >= 0 && length >= 0 && at <= size && length <= size - at) return true;
    Tell(context, "sector " + std::to_string(at / kSectorBytes) + " and the " + std::to_string(length) +
                      " bytes from it are beyond the end of " + path + " (" + std::to_string(size) + " bytes)");
    return false;
}

// The sector number of `path` asked for; nothing when the answer is empty,
// cancelled or no number (which is said).
std::optional<std::int64_t> AskSectorOffset(const OperationContext& context, const std::string& path,
                                            const std::string& initial) {
    std::optional<std::string> answer =
        context.ui().input_box_about(kProgramCaption, "Enter sector offset", initial, device::AboutDevices({path}));
    if (!answer || Trim(*answer).empty()) return std::nullopt;
    std::optional<std::int64_t> sector = ParseSectorNumber(*answer);
    if (!sector) Tell(context, "'" + *answer + "' is not a valid sector number");
    return sector;
}

// The sector a routine starts at in `path`: the one asked for where `ask`
// holds (with `offered` in the box), else 0.
std::optional<std::int64_t> StartSector(bool ask, const OperationContext& context, const std::string& path,
                                        const std::string& offered) {
    if (!ask) return 0;
    return AskSectorOffset(context, path, offered);
}

// A device opened before a question was answered is written only while its
// name still means the disk or volume that was chosen: meanwhile the name
// may have come to mean another, or none.
bool StillMeansTheChoice(const OperationContext& context, const std::string& path) {
    if (!IsDevice(path) || device::Registry::instance().still_chosen(path)) return true;
    Tell(context, device::ChoiceRefusal(path));
    return false;
}

void OfferSignatureFix(const OperationContext& context, std::span<std::uint8_t> sector) {
    if (sector.size() < kSectorBytes || (sector[kSignatureAt] == 0x55 && sector[kSignatureAt + 1] == 0xAA)) return;
    if (context.ui().confirm("Magic Bytes are different than $AA55, fix it?", kProgramCaption)) {
        sector[kSignatureAt] = 0x55;
        sector[kSignatureAt + 1] = 0xAA;
    }
}

// The whole of a small file, or nothing (with the reason in `error`).
std::optional<std::vector<std::uint8_t>> ReadSmallFile(Handle& file, std::string& error) {
    std::int64_t size = 0;
    if (!GetFileSizeEx(file, &size)) {
        error = WithSystemText("readfile error:", GetLastError());
        return std::nullopt;
    }
    if (size <= 0 || size > kMostFileBytes) {
        error = "readfile error:" + std::to_string(size) + " bytes is no sector file";
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!ReadBytes(file, 0, bytes)) {
        error = WithSystemText("readfile error:", GetLastError());
        return std::nullopt;
    }
    return bytes;
}

// NTFS keeps its boot code in $Boot, the first 8 KiB of the volume.
constexpr std::int64_t kNtfsBootBytes = 8192;

// A boot sector's code may go over a device's own only where the device
// holds a parameter block worth keeping, only when the code is written for
// that file system (FAT12/16, FAT32 and NTFS code each read their own
// fields), and only into the boot area: the reserved sectors of FAT, $Boot
// of NTFS. Past it lie the file system's tables. exFAT is refused whole:
// its boot region is checksummed. Says why and returns false otherwise.
bool FitsBootArea(const OperationContext& context, const std::string& device, const std::string& file,
                  std::span<const std::uint8_t> device_sector, std::span<const std::uint8_t> code) {
    if (code.size() < kSectorBytes) {
        Tell(context, file + " is no boot sector: it holds " + std::to_string(code.size()) + " bytes");
        return false;
    }
    // The parameter block is judged on its own: a signature gone bad is
    // what the fix question below is for.
    std::vector<std::uint8_t> judged(device_sector.begin(), device_sector.begin() + kSectorBytes);
    judged[kSignatureAt] = 0x55;
    judged[kSignatureAt + 1] = 0xAA;
    const std::string held = device::BootSectorFileSystem(judged);
    if (held.empty() || held == "exFAT") {
        Tell(context, device + " holds no FAT or NTFS boot sector whose parameter block could be kept");
        return false;
    }
    const std::string written_for = device::BootSectorFileSystem(code);
    if (!written_for.empty() && written_for != held) {
        Tell(context, "The boot code of " + file + " is written for " + written_for + ", " + device + " holds " + held);
        return false;
    }
    const std::int64_t bytes_per_sector = LoadLe16(device_sector.data() + 11);
    const std::int64_t area = held == "NTFS" ? std::max(kNtfsBootBytes, bytes_per_sector)
                                             : LoadLe16(device_sector.data() + 14) * bytes_per_sector;
    if (static_cast<std::int64_t>(code.size()) > area) {
        Tell(context, file + " (" + std::to_string(code.size()) + " bytes) reaches past the boot area of " + device +
                          " (" + std::to_string(area) + " bytes)");
        return false;
    }
    return true;
}

// Copies `length` bytes of `source` from `offset` to the start of `sink`
// through the copy loop. An empty text when it all arrived, else what went
// wrong, with the read or write prefix given.
std::string CopyRun(Handle& source, std::int64_t offset, std::int64_t length, Handle& sink,
                    const std::string& write_prefix, const OperationContext& context) {
    RawSource reader(source, offset, length);
    RawSink writer(sink, 0);
    CopyLoopSettings settings;
    settings.limit = length;
    settings.source_must_reach_limit = true;
    settings.read_errors = ReadErrorPolicy::Stop;
    settings.quiet_write_errors = true;
    CopyOutcome outcome = RunCopyLoop(reader, writer, settings, context);
    switch (outcome.end) {
    case CopyEnd::Completed: return "";
    case CopyEnd::Cancelled: return "cancelled";
    case CopyEnd::SourceEnded: return WithSystemText("readfile error:", ERROR_HANDLE_EOF);
    case CopyEnd::WriteFailed: return WithSystemText(write_prefix, outcome.error);
    default: return WithSystemText("readfile error:", outcome.error);
    }
}

// Opens a source for a run of sectors: unbuffered where the run starts and
// ends on the device's sectors, buffered where it cannot.
Handle OpenRunSource(const std::string& path, std::int64_t offset, std::int64_t length) {
    Handle h = CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                          IsDevice(path) ? FILE_FLAG_NO_BUFFERING : FILE_ATTRIBUTE_NORMAL);
    if (h && IsDevice(path) && (offset % h.sector_size() != 0 || length % h.sector_size() != 0))
        h = CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    return h;
}

}  // namespace

std::optional<std::int64_t> ParseSectorNumber(const std::string& text) {
    return ParseUserNumber(text, 0, INT64_MAX / kSectorBytes);
}

bool RestoreBootSector(const std::string& device, const std::string& file, bool keep_bpb,
                       const OperationContext& context) {
    Handle source = CreateFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    Handle target = source ? OpenTarget(device, true) : Handle();
    if (!source || !target) {
        TellCannotOpen(context, source ? device : file);
        return false;
    }
    std::string error;
    std::optional<std::vector<std::uint8_t>> bytes = ReadSmallFile(source, error);
    if (!bytes) {
        Tell(context, error);
        return false;
    }
    if (!HoldForWriting(context, target, device)) return false;
    std::optional<std::int64_t> sector = StartSector(!IsVolume(device), context, device, "");
    if (!sector) return false;
    const std::int64_t at = *sector * kSectorBytes;
    if (!InRange(context, device, SizeOf(target, device), at, static_cast<std::int64_t>(bytes->size()))) return false;

    if (keep_bpb) {
        // The device's jump, BPB and signature; the file's code and whatever follows.
        std::vector<std::uint8_t> merged(bytes->size());
        if (!ReadBytes(target, at, merged)) {
            Tell(context, WithSystemText("readfile error:", GetLastError()));
            return false;
        }
        if (!FitsBootArea(context, device, file, merged, *bytes)) return false;
        const std::size_t code_end = std::min<std::size_t>(kSignatureAt, bytes->size());
        if (code_end > kBpbEnd) std::copy(bytes->begin() + kBpbEnd, bytes->begin() + code_end, merged.begin() + kBpbEnd);
        if (bytes->size() > kSectorBytes) std::copy(bytes->begin() + kSectorBytes, bytes->end(), merged.begin() + kSectorBytes);
        OfferSignatureFix(context, merged);
        *bytes = std::move(merged);
    }
    if (!StillMeansTheChoice(context, device)) return false;
    if (!WriteBytes(target, at, *bytes) || !FlushFileBuffers(target)) {
        Tell(context, WriteFailure("writefile error:", device));
        return false;
    }
    return true;
}

bool BackupSectors(const std::string& source, const std::string& file, std::int64_t count,
                   const OperationContext& context) {
    std::optional<std::int64_t> sector = StartSector(!IsDevice(source), context, source, "63");
    if (!sector) return false;
    const std::int64_t at = *sector * kSectorBytes;
    if (count <= 0 || count > INT64_MAX / kSectorBytes) {
        Tell(context, "no sectors to copy: " + std::to_string(count));
        return false;
    }
    const std::int64_t length = count * kSectorBytes;
    Handle input = OpenRunSource(source, at, length);
    if (!input) {
        TellCannotOpen(context, source);
        return false;
    }
    // The new file is made only when there is something to put in it.
    if (!InRange(context, source, SizeOf(input, source), at, length)) return false;
    Handle output = CreateFile(file, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (!output) {
        TellCannotOpen(context, file);
        return false;
    }
    std::string error = CopyRun(input, at, length, output, "writefile error:", context);
    if (!error.empty()) Tell(context, error);
    return error.empty();
}

bool RestoreMbr(const std::string& device, const std::string& file, bool merge, const TMbrParts& parts,
                const OperationContext& context) {
    Handle source = CreateFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    Handle target = source ? OpenTarget(device, true) : Handle();
    if (!source || !target) RaiseCannotOpen(source ? device : file);
    std::string error;
    std::optional<std::vector<std::uint8_t>> bytes = ReadSmallFile(source, error);
    if (!bytes) throw std::runtime_error(error);
    if (!HoldForWriting(context, target, device)) return false;
    if (!InRange(context, device, SizeOf(target, device), 0, static_cast<std::int64_t>(bytes->size()))) return false;
    if (!merge) {
        if (!WriteBytes(target, 0, *bytes) || !FlushFileBuffers(target))
            throw std::runtime_error(WriteFailure("WriteFile error:", device));
        return true;
    }
    std::vector<std::uint8_t> merged(bytes->size());
    if (!ReadBytes(target, 0, merged)) {
        Tell(context, WithSystemText("readfile error:", GetLastError()));
        return false;
    }
    auto take = [&](bool chosen, std::size_t from, std::size_t to) {
        to = std::min(to, bytes->size());
        if (chosen && from < to) std::copy(bytes->begin() + from, bytes->begin() + to, merged.begin() + from);
    };
    take(parts.BootCode, 0, 440);
    take(parts.DiskSignature, 440, 444);
    take(parts.Reserved, 444, kTableAt);
    take(parts.PartitionTable, kTableAt, kSignatureAt);
    take(parts.BootSignature, kSignatureAt, kSectorBytes);
    take(true, kSectorBytes, bytes->size());
    OfferSignatureFix(context, merged);
    if (!WriteBytes(target, 0, merged) || !FlushFileBuffers(target)) {
        Tell(context, WriteFailure("writefile error:", device));
        return false;
    }
    return true;
}

bool WritePartitionTable(const std::string& device, const SectorBuffer& image, const OperationContext& context) {
    Handle target = OpenTarget(device, true);
    if (!target) {
        TellCannotOpen(context, device);
        return false;
    }
    if (!HoldForWriting(context, target, device)) return false;
    SectorBuffer sector{};
    if (!ReadBytes(target, 0, sector)) {
        Tell(context, WithSystemText("readfile error:", GetLastError()));
        return false;
    }
    std::copy(image.begin() + kTableAt, image.begin() + kSignatureAt, sector.begin() + kTableAt);
    // Without its signature no one reads the table, however right it is.
    OfferSignatureFix(context, sector);
    if (!WriteBytes(target, 0, sector) || !FlushFileBuffers(target)) {
        Tell(context, WriteFailure("writefile error:", device));
        return false;
    }
    return true;
}

namespace {

// Where one sector of `path` is: sector 0 of a disk or file asks, unless
// told not to. Nothing when the person gave no answer.
std::optional<std::int64_t> SectorPosition(const std::string& path, std::int64_t sector, bool no_prompt,
                                           const OperationContext& context) {
    if (sector < 0 || sector > INT64_MAX / kSectorBytes) {
        Tell(context, "no sector " + std::to_string(sector));
        return std::nullopt;
    }
    if (sector == 0 && !no_prompt && !IsVolume(path)) {
        std::optional<std::int64_t> asked = AskSectorOffset(context, path, "");
        if (!asked) return std::nullopt;
        sector = *asked;
    }
    return sector * kSectorBytes;
}

}  // namespace

namespace {

// Opens `path` and finds where its sector is, checked against its size; an
// invalid handle when there is nothing to read or write (what was wrong has
// been said, or no sector was given).
Handle OpenAtSector(const std::string& path, bool write, std::int64_t sector, bool no_prompt,
                    const OperationContext& context, std::int64_t& at) {
    Handle h = OpenTarget(path, write);
    if (!h) {
        TellCannotOpen(context, path);
        return h;
    }
    std::optional<std::int64_t> position = SectorPosition(path, sector, no_prompt, context);
    if (!position || !InRange(context, path, SizeOf(h, path), *position, kSectorBytes)) return Handle();
    if (write && (!HoldForWriting(context, h, path) || !StillMeansTheChoice(context, path))) return Handle();
    at = *position;
    return h;
}

}  // namespace

bool ReadSector(const std::string& path, SectorBuffer& buffer, std::int64_t sector, bool no_prompt,
                const OperationContext& context) {
    std::int64_t at = 0;
    Handle h = OpenAtSector(path, false, sector, no_prompt, context, at);
    if (!h) return false;
    if (!ReadBytes(h, at, buffer)) {
        Tell(context, WithSystemText("readfile error:", GetLastError()));
        return false;
    }
    return true;
}

bool WriteSector(const std::string& path, const SectorBuffer& buffer, std::int64_t sector, bool no_prompt,
                 const OperationContext& context) {
    std::int64_t at = 0;
    Handle h = OpenAtSector(path, true, sector, no_prompt, context, at);
    if (!h) return false;
    if (!WriteBytes(h, at, buffer) || !FlushFileBuffers(h)) {
        Tell(context, WriteFailure("writefile error:", path));
        return false;
    }
    return true;
}

bool ReadFirstSector(const std::string& path, SectorBuffer& buffer, const OperationContext& context) {
    return ReadSector(path, buffer, 0, true, context);
}

bool CopySectorsToFile(const std::string& device, const std::string& file, std::int64_t count, std::int64_t offset,
                       const OperationContext& context) {
    if (count <= 0 || count > INT64_MAX / kSectorBytes || offset < 0)
        throw std::runtime_error("no sectors to copy: " + std::to_string(count) + " from " + std::to_string(offset));
    const std::int64_t length = count * kSectorBytes;
    Handle input = OpenRunSource(device, offset, length);
    if (!input) RaiseCannotOpen(device);
    if (!InRange(context, device, SizeOf(input, device), offset, length)) return false;
    // The old file goes only once the new one can be made.
    if (!IsDevice(file)) DeleteRegularFile(file);
    Handle output = CreateFile(file, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (!output) RaiseCannotOpen(file);
    std::string error = CopyRun(input, offset, length, output, "WriteFile error:", context);
    if (!error.empty()) throw std::runtime_error(error);
    return true;
}

}  // namespace disk
