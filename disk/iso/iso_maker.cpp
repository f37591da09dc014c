#include "disk/iso/iso_maker.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "disk/checksum/chksums.h"
#include "disk/copy/copy_loop.h"
#include "disk/iso/imapi2fs_errors.h"
#include "disk/iso/iso9660.h"
#include "disk/util/lib_helpers.h"
#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/base/replace_file.h"
#include "platform/device/handle.h"
#include "platform/imapi/imapi2fs.h"
#include "platform/os/file_facts.h"
#include "platform/os/temp_folder.h"

namespace disk {

namespace {

constexpr const char* kOrbamel = "Orbamel";

std::string TimeOfDay() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

std::string FileNamePart(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderPart(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Copies the first `limit` bytes of a file (all of it for 0) into another.
void CopyFilePart(const std::string& from, const std::string& to, std::int64_t limit) {
    platform::Handle source = platform::CreateFile(from, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                   platform::OPEN_EXISTING, 0);
    if (!source)
        throw std::runtime_error("Cannot open file \"" + from + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    platform::Handle target = platform::CreateFile(to, platform::GENERIC_WRITE, 0, platform::CREATE_ALWAYS, 0);
    if (!target)
        throw std::runtime_error("Cannot create file \"" + to + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    std::int64_t size = 0;
    platform::GetFileSizeEx(source, &size);
    RawSource reader(source, 0, size);
    RawSink writer(target, 0);
    CopyLoopSettings settings;
    settings.limit = limit;
    settings.progress.pump = false;
    settings.read_errors = ReadErrorPolicy::Stop;
    settings.quiet_write_errors = true;
    if (!RunCopyLoop(reader, writer, settings, OperationContext{}).completed())
        throw std::runtime_error("could not copy the boot image " + from);
}

// The made image as a source of the copy loop: its blocks, in order.
class ImageResultSource : public CopySource {
public:
    explicit ImageResultSource(platform::imapi::FileSystemImageResult& result) : result_(result) {}
    std::int64_t size() override { return result_.TotalBlocks() * result_.BlockSize(); }
    std::size_t read(std::int64_t, std::span<std::byte> buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            std::size_t got = result_.Read(buffer.data() + done, buffer.size() - done);
            if (got == 0) break;
            done += got;
        }
        return done;
    }

private:
    platform::imapi::FileSystemImageResult& result_;
};

// The window's bar counts blocks; the loop counts percent.
class BlockProgress : public platform::ProgressBar {
public:
    BlockProgress(platform::ProgressBar* bar, std::int64_t blocks) : bar_(bar), blocks_(blocks) {}
    void set_max(std::int64_t) override {
        if (bar_) bar_->set_max(blocks_);
    }
    void set_position(std::int64_t percent) override {
        if (bar_) bar_->set_position(blocks_ * percent / 100);
    }

private:
    platform::ProgressBar* bar_;
    std::int64_t blocks_;
};

void Rewrite(IsoImage& image, std::int64_t offset, std::uint8_t* bytes, std::size_t length) {
    if (!image.write(offset, bytes, length)) throw std::runtime_error("WriteFile failed");
}

}  // namespace

void IsoMakerLog::Clear() { platform::DeleteRegularFile(path_); }

void IsoMakerLog::Line(const std::string& message) {
    platform::Handle file = platform::CreateFile(path_, platform::GENERIC_WRITE, platform::FILE_SHARE_READ,
                                                 platform::OPEN_ALWAYS, 0);
    if (!file) return;  // a log that cannot be written costs the build nothing
    std::int64_t end = 0;
    platform::GetFileSizeEx(file, &end);
    const std::string line = TimeOfDay() + " , " + message + "\r\n";
    std::size_t done = 0;
    platform::WriteAt(file, end, line.data(), line.size(), &done);
}

int FileSystemFlagsOfChoice(int index) {
    static constexpr int kFlags[] = {1, 3, 7, 5, 4};
    return index >= 0 && index < 5 ? kFlags[index] : 0;
}

bool BuildIsoImage(const IsoBuildRequest& request, const OperationContext& context, IsoMakerLog& log) {
    using namespace platform::imapi;
    platform::Interaction& ui = context.ui();
    const int boot_count = (request.bios_boot.empty() ? 0 : 1) + (request.efi_boot.empty() ? 0 : 1);
    // The image is written inside what it is made of otherwise, and would
    // end up holding a part of itself.
    if (platform::IsInsideFolder(request.destination, request.source)) {
        ui.inform("The ISO image cannot be written inside the folder it is made of: " + request.destination,
                  request.caption);
        return false;
    }
    if (const std::string refused = UnbuildableFileSystems(request.file_systems); !refused.empty()) {
        ui.inform(refused, request.caption);
        return false;
    }
    try {
        FileSystemImage image;
        image.ChooseImageDefaultsForMediaType(IMAPI_MEDIA_TYPE_DISK);
        image.set_StrictFileSystemCompliance(true);
        try {
            image.set_ISO9660InterchangeLevel(2);
        } catch (const ImapiError&) {
            if (!ui.confirm("ISO9660InterchangeLevel=2 not supported, switch to 1 or abort?", kOrbamel)) return false;
            image.set_ISO9660InterchangeLevel(1);
        }
        image.set_FileSystemsToCreate(request.file_systems);
        image.set_VolumeName("DISK");
        image.set_WorkingDirectory(FolderPart(request.destination));

        // The boot images are staged in a folder of our own, removed with
        // everything in it however the build ends.
        platform::ScratchFolder staging = platform::ScratchFolder::Create("~tarnovell.");
        if (!staging) throw std::runtime_error("no temporary folder in " + platform::TemporaryFolder());
        std::vector<BootOptions> boots;
        if (!request.bios_boot.empty()) {
            BootOptions bios;
            bios.Manufacturer = "Microsoft";
            bios.PlatformId = PlatformX86;
            bios.Emulation = boot_count == 2 ? EmulationNone : request.bios_emulation;
            bios.BootImage = staging.file("boot0.tmp");
            const std::int64_t size = FileSize64(request.bios_boot);
            const std::int64_t part = static_cast<std::int64_t>(request.load_sectors) * 512;
            CopyFilePart(request.bios_boot, bios.BootImage, part > 0 && size >= part ? part : 0);
            if (request.patch_boot_table_first) {
                bool ok = false;
                try {
                    ok = PatchBootTable(request.bios_boot, bios.BootImage, context);
                } catch (const std::exception& e) {
                    log.Line(std::string("patch_boot_table: ") + e.what());
                }
                log.Line(ok ? "patch_boot_table OK" : "patch_boot_table NOT OK");
            }
            bios.LoadSectors = request.load_sectors;
            if (bios.LoadSectors == 0 && bios.Emulation == EmulationNone && size > 262144) bios.LoadSectors = 16;
            boots.push_back(bios);
        }
        if (!request.efi_boot.empty()) {
            // The EFI image (a FAT image of megabytes) is staged and loaded
            // whole: the BIOS image's load size is not its own.
            BootOptions efi;
            efi.Manufacturer = "Microsoft";
            efi.PlatformId = PlatformEFI;
            efi.Emulation = boot_count == 2 ? EmulationNone : request.efi_emulation;
            efi.BootImage = staging.file("boot1.tmp");
            CopyFilePart(request.efi_boot, efi.BootImage, 0);
            boots.push_back(efi);
        }
        if (boots.size() == 1) image.set_BootImageOptions(boots.front());
        else if (boots.size() == 2) image.set_BootImageOptionsArray(boots);

        image.AddTree(request.source);
        std::unique_ptr<FileSystemImageResult> result = image.CreateResultImage();
        const std::int64_t blocks = result->TotalBlocks();
        const std::int64_t bytes = blocks * result->BlockSize();
        if (context.progress) context.progress->set_max(blocks);
        if (!ui.confirm("create a " + std::to_string(bytes / 1024 / 1024) + " MB iso disk image?", request.caption))
            return false;

        // The old file (if any) stays as it was until the new image is whole.
        platform::FileReplacement replacement(request.destination, platform::FileReplacement::Start::Empty);
        platform::Handle target;
        if (replacement)
            target = platform::CreateFile(replacement.path(), platform::GENERIC_WRITE, 0, platform::OPEN_EXISTING, 0);
        if (!replacement || !target) {
            ui.inform("Cannot create file \"" + request.destination + "\". " +
                          platform::SysErrorMessage(platform::GetLastError()),
                      request.caption);
            return false;
        }
        ImageResultSource source(*result);
        // The file is made anew: the zeros of the files' holes stay holes.
        RawSink sink(target, 0, ZeroBlocks::LeftAsHoles);
        BlockProgress bar(context.progress, blocks);
        OperationContext copy_context = context;
        copy_context.progress = &bar;
        CopyLoopSettings settings;
        settings.limit = bytes;
        settings.source_must_reach_limit = true;
        settings.block_size = 1 << 20;
        // The library's ring reads ahead already; a block read long before
        // it is written would only have left the cache in between.
        settings.read_ahead = 2;
        settings.read_errors = ReadErrorPolicy::Stop;
        settings.write_error_prefix = "Cannot write \"" + request.destination + "\". ";
        settings.done_text = "Done in ";
        CopyOutcome outcome = RunCopyLoop(source, sink, settings, copy_context);
        const bool closed = target.close();
        if (!outcome.completed() || !closed || !replacement.commit()) {
            if (outcome.completed())
                ui.inform("Cannot write \"" + request.destination + "\". " +
                              platform::SysErrorMessage(platform::GetLastError()),
                          request.caption);
            else if (outcome.end == CopyEnd::SourceEnded)
                ui.inform("the image ended before its last block", request.caption);
            return false;
        }
        return true;
    } catch (const ImapiError& e) {
        log.Line(ImapiErrorName(e.code()) + ": " + e.what());
        ui.inform(ImapiErrorName(e.code()), request.caption);
        return false;
    } catch (const std::exception& e) {
        ui.inform(e.what(), request.caption);
        return false;
    }
}

bool PatchBootTable(const std::string& boot_file, const std::string& copy, const OperationContext& context) {
    if (!context.ui().confirm("Patch boot table in " + boot_file + "?", kOrbamel)) return false;
    const std::int64_t size = FileSize64(boot_file);
    // The table sits at bytes 8 to 23 and the sum starts at byte 64.
    if (size < 64 || size > 0xFFFFFFFFLL) return false;
    const std::uint32_t checksum = FileChecksum32(boot_file, 64);
    if (checksum == 0) return false;
    FileIsoImage file(copy, true);
    std::uint8_t table[16];
    platform::StoreLe32(table, kPrimaryVolumeDescriptorSector);
    platform::StoreLe32(table + 4, 0);
    platform::StoreLe32(table + 8, static_cast<std::uint32_t>(size));
    platform::StoreLe32(table + 12, checksum);
    Rewrite(file, 8, table, sizeof table);
    return true;
}

void PatchIsoBootFile(const std::string& image_path, std::uint32_t volume_descriptor_sector, std::uint32_t checksum,
                      std::uint32_t boot_file_size, std::uint32_t boot_file_sector) {
    FileIsoImage image(image_path, true);
    BootCatalog catalog = ReadBootCatalog(image);
    const std::uint32_t load_sector = platform::LoadLe32(&catalog.bytes[40]);
    const std::int64_t load_offset = static_cast<std::int64_t>(load_sector) * kIsoSectorSize;
    if (load_offset + 512 > image.size()) throw IsoFormatError("the boot image lies outside the image");
    if (static_cast<std::int64_t>(boot_file_sector) * kIsoSectorSize >= image.size())
        throw IsoFormatError("the boot file lies outside the image");
    platform::StoreLe16(&catalog.bytes[38], 4);
    Rewrite(image, static_cast<std::int64_t>(catalog.sector) * kIsoSectorSize, catalog.bytes, 512);
    std::uint8_t boot[512];
    if (!image.read(load_offset, boot, sizeof boot)) throw std::runtime_error("ReadFile failed");
    platform::StoreLe32(boot + 8, volume_descriptor_sector);
    platform::StoreLe32(boot + 12, boot_file_sector);
    platform::StoreLe32(boot + 16, boot_file_size);
    platform::StoreLe32(boot + 20, checksum);
    Rewrite(image, load_offset, boot, sizeof boot);
}

bool PatchIsoRootDirectory(const std::string& image_path, const std::string& old_identifier,
                           const std::string& replacement) {
    FileIsoImage image(image_path, true);
    const PrimaryVolume volume = ReadPrimaryVolume(image);
    return RenameDirectoryRecord(image, volume.root_sector, platform::ToUpper(old_identifier), replacement);
}

bool PatchIsoDirectory(const std::string& image_path, const std::string& directory, const std::string& old_identifier,
                       const std::string& replacement) {
    FileIsoImage image(image_path, true);
    const PrimaryVolume volume = ReadPrimaryVolume(image);
    auto extent = FindPathTableDirectory(image, volume, platform::ToUpper(directory));
    return extent && RenameDirectoryRecord(image, *extent, platform::ToUpper(old_identifier), replacement);
}

namespace {

// What a renamed record holds: the identifier's length byte, then its text
// padded with NULs to the room of the old one.
std::string Replacement(int length, std::string_view padded) {
    return std::string(1, static_cast<char>(length)) + std::string(padded);
}

// One patch step, logged as OK or NOT OK. A patch that cannot be applied
// (the record is not there, the image does not hold together) changes
// nothing and is only logged.
void Logged(IsoMakerLog& log, const std::string& name, const std::function<bool()>& patch) {
    bool ok = false;
    try {
        ok = patch();
    } catch (const std::exception& e) {
        log.Line(name + ": " + e.what());
    }
    log.Line(name + (ok ? " OK" : " NOT OK"));
}

// grub looks for its platform folders by their own names. The image library
// writes ISO 9660 identifiers of d-characters only, the dash made an
// underscore ("I386_PC"); the dash is written back over it, the length
// unchanged.
void RenameGrubFolders(IsoMakerLog& log, const std::string& image) {
    for (const char* folder : {"I386-PC", "I386-EFI", "X86_64-EFI"}) {
        const std::string name = folder;
        std::string written = name;
        std::replace(written.begin(), written.end(), '-', '_');
        Logged(log, "patch_iso9660_directory", [&] {
            return PatchIsoDirectory(image, "grub", written, Replacement(static_cast<int>(name.size()), name));
        });
    }
}

}  // namespace

bool MakeIsoDisc(const IsoMakerRequest& request, const OperationContext& context, IsoMakerLog& log) {
    log.Clear();
    const std::string bios_lower = platform::ToLower(request.bios_boot);
    const std::uint32_t load_sectors =
        bios_lower.find("grldr") != std::string::npos || request.patch_boot_table ? 4 : 0;
    IsoBuildRequest build;
    build.patch_boot_table_first = request.udf_only && request.patch_boot_table && !request.bios_boot.empty();
    build.source = request.source;
    build.bios_boot = request.bios_boot;
    build.efi_boot = request.efi_boot;
    build.load_sectors = load_sectors;
    build.file_systems = FileSystemFlagsOfChoice(request.file_system_choice);
    build.bios_emulation = request.bios_emulation;
    build.efi_emulation = request.efi_emulation;
    build.destination = request.destination;
    build.caption = request.caption;
    if (!BuildIsoImage(build, context, log)) return false;
    log.Line("orbamel OK");
    if (request.udf_only) return true;

    using namespace std::string_view_literals;
    const std::string& image = request.destination;
    if (bios_lower.find("etfsboot.com") != std::string::npos)
        Logged(log, "patch_iso9660_root_directory",
               [&] { return PatchIsoRootDirectory(image, "BOOTMGR.;1", Replacement(9, "BOOTMGR;1\0"sv)); });
    if (bios_lower.find("bootsect.bin") != std::string::npos) {
        Logged(log, "patch_iso9660_root_directory",
               [&] { return PatchIsoDirectory(image, "I386", "NTLDR.;1", Replacement(5, "NTLDR\0\0\0"sv)); });
        Logged(log, "patch_iso9660_root_directory", [&] {
            return PatchIsoDirectory(image, "I386", "SETUPLDR.BIN;1",
                                     Replacement(12, "SETUPLDR.BIN\0\0"sv));
        });
    }
    if (request.patch_boot_table && !request.bios_boot.empty()) {
        Logged(log, "patch_iso9660_boot_file", [&] {
            const std::uint32_t sector = IsoFindFile(image, FileNamePart(request.bios_boot));
            if (sector == 0) return false;
            const std::int64_t size = FileSize64(request.bios_boot);
            const std::uint32_t checksum = FileChecksum32(request.bios_boot, 64);
            PatchIsoBootFile(image, kPrimaryVolumeDescriptorSector, checksum, static_cast<std::uint32_t>(size), sector);
            return true;
        });
    }
    if (bios_lower.find("bcdwboot.bin") != std::string::npos)
        Logged(log, "patch_iso9660_root_directory",
               [&] { return PatchIsoRootDirectory(image, "GRLDR.;1", Replacement(5, "GRLDR\0\0\0"sv)); });
    if (request.bios_boot.find("grub") != std::string::npos) RenameGrubFolders(log, image);
    if (request.efi_boot.find("grub") != std::string::npos) RenameGrubFolders(log, image);
    return true;
}

}  // namespace disk
