// The imaging module "wimgapi.dll": the Windows entry points, carried out by
// wimlib. The objects behind the handles and when files are written are told
// in wim_handles.h; mounting is in wim_mount.cpp.
#include "platform/wim/wimgapi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/os/stand_in_module.h"
#include "platform/os/temp_folder.h"
#include "platform/base/unique_fd.h"
#include "platform/base/wide_text.h"
#include "platform/wim/apply_check.h"
#include "platform/wim/handles.h"
#include "platform/wim/library.h"
#include "platform/wim/location.h"
#include "platform/wim/mount.h"
#include "platform/wim/xml.h"

namespace platform::wim {

namespace {

constexpr std::uint32_t kSolidWimVersion = 0xE00;

WimHandle FailHandle(DWORD code) {
    SetLastError(code);
    return nullptr;
}

std::string Narrow(const char16_t* text) { return Utf16ToUtf8(text); }

// An apply is done when what it wrote is on the medium, as every copy of
// the program is: the file system of the folder is synced.
bool SyncFileSystemOf(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::syncfs(fd.get()) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where a new file can go: its folder must exist and take new files.
DWORD CheckNewFileFolder(const std::string& path) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) parent = ".";
    std::error_code ec;
    if (!std::filesystem::is_directory(parent, ec)) return ERROR_PATH_NOT_FOUND;
    if (::access(parent.c_str(), W_OK) != 0) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

std::shared_ptr<WimFile> NewFile(const std::string& path, DWORD compression, DWORD flags) {
    const WimlibCalls& lib = *Wimlib();
    auto file = std::make_shared<WimFile>();
    file->path = path;
    file->is_new = true;
    // Solid blocks are LZMS; other compressions keep the usual layout.
    file->solid = (flags & WIM_FLAG_SOLID) && compression == WIM_COMPRESS_LZMS;
    if (int error = lib.create_new_wim(static_cast<wimlib_compression_type>(compression), &file->wim)) {
        FailWimlib(error);
        return nullptr;
    }
    if (file->solid) lib.set_output_pack_compression_type(file->wim, WIMLIB_COMPRESSION_TYPE_LZMS);
    // WIMBoot reads its files in 4 KiB XPRESS chunks.
    if ((flags & WIM_FLAG_WIM_BOOT) && compression == WIM_COMPRESS_XPRESS) lib.set_output_chunk_size(file->wim, 4096);
    return file;
}

std::shared_ptr<WimFile> ExistingFile(const std::string& path, DWORD access, DWORD flags) {
    const WimlibCalls& lib = *Wimlib();
    auto file = std::make_shared<WimFile>();
    file->path = path;
    const int open_flags = (access & WIM_GENERIC_WRITE) ? WIMLIB_OPEN_FLAG_WRITE_ACCESS : 0;
    if (int error = lib.open_wim(path.c_str(), open_flags, &file->wim)) {
        FailWimlib(error);
        return nullptr;
    }
    wimlib_wim_info info{};
    lib.get_wim_info(file->wim, &info);
    file->solid = (flags & WIM_FLAG_SOLID) || info.wim_version == kSolidWimVersion;
    return file;
}

// Writes a change to the file at once; a failure leaves it pending for the
// close to try again.
BOOL WriteChange(WimFile& file) {
    file.dirty = true;
    MessageRelay relay(CallbacksFor(&file));
    return CommitWimFile(file, relay) ? 1 : 0;
}

WimHandle WIMCreateFile(const char16_t* wim_path, DWORD desired_access, DWORD creation_disposition,
                        DWORD flags_and_attributes, DWORD compression_type, DWORD* creation_result) {
    if (!Wimlib()) return FailHandle(ERROR_MOD_NOT_FOUND);
    const std::string path = Narrow(wim_path);
    if (path.empty() || desired_access == 0 || compression_type > WIM_COMPRESS_LZMS)
        return FailHandle(ERROR_INVALID_PARAMETER);
    const bool exists = IsRegularFile(path);
    bool create = false;
    switch (creation_disposition) {
    case WIM_CREATE_NEW:
        if (exists) return FailHandle(ERROR_FILE_EXISTS);
        create = true;
        break;
    case WIM_CREATE_ALWAYS: create = true; break;
    case WIM_OPEN_EXISTING:
        if (!exists) return FailHandle(CheckNewFileFolder(path) == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND
                                                                                        : ERROR_FILE_NOT_FOUND);
        break;
    case WIM_OPEN_ALWAYS: create = !exists; break;
    default: return FailHandle(ERROR_INVALID_PARAMETER);
    }
    std::shared_ptr<WimFile> file;
    if (create) {
        if (!(desired_access & WIM_GENERIC_WRITE)) return FailHandle(ERROR_ACCESS_DENIED);
        if (DWORD problem = CheckNewFileFolder(path)) return FailHandle(problem);
        file = NewFile(path, compression_type, flags_and_attributes);
    } else {
        file = ExistingFile(path, desired_access, flags_and_attributes);
    }
    if (!file) return nullptr;
    file->access = desired_access;
    file->flags = flags_and_attributes;
    file->temporary_path = TemporaryFolder();
    if (creation_result) *creation_result = create ? WIM_CREATED_NEW : WIM_OPENED_EXISTING;
    return AddFileHandle(std::move(file));
}

BOOL WIMCloseHandle(WimHandle object) {
    if (TakeImageHandle(object)) return 1;
    std::shared_ptr<WimFile> file = TakeFileHandle(object);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard guard(file->mutex);
    if (!file->writable()) return 1;
    MessageRelay relay(CallbacksFor(file.get()));
    return CommitWimFile(*file, relay) ? 1 : 0;
}

BOOL WIMSetTemporaryPath(WimHandle wim, const char16_t* path) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    const std::string folder = Narrow(path);
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec)) return Fail(ERROR_PATH_NOT_FOUND);
    std::lock_guard guard(file->mutex);
    file->temporary_path = folder;
    return 1;
}

BOOL WIMSetReferenceFile(WimHandle wim, const char16_t* path, DWORD /*flags*/) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    const std::string reference = Narrow(path);
    if (reference.empty()) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(file->mutex);
    const char* name = reference.c_str();
    const int error = Wimlib()->reference_resource_files(
        file->wim, &name, 1, WIMLIB_REF_FLAG_GLOB_ENABLE | WIMLIB_REF_FLAG_GLOB_ERR_ON_NOMATCH, 0);
    if (error == WIMLIB_ERR_GLOB_HAD_NO_MATCHES) return Fail(ERROR_FILE_NOT_FOUND);
    if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error);
    file->references.push_back(reference);
    return 1;
}

BOOL WIMSplitFile(WimHandle wim, const char16_t* part_path, std::int64_t* part_size, DWORD /*flags*/) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    const std::string first_part = Narrow(part_path);
    if (first_part.empty() || !part_size || *part_size <= 0) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(file->mutex);
    if (file->is_new) return Fail(ERROR_INVALID_PARAMETER);
    MessageRelay relay(CallbacksFor(file.get()));
    const WimlibCalls& lib = *Wimlib();
    lib.register_progress_function(file->wim, &MessageRelay::Progress, &relay);
    const int error = lib.split(file->wim, first_part.c_str(), static_cast<std::uint64_t>(*part_size), 0);
    lib.register_progress_function(file->wim, nullptr, nullptr);
    if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error, &relay);
    relay.finish();
    return 1;
}

// A name for an exported image that the destination does not use yet.
std::string FreeImageName(const WIMStruct* destination, const std::string& name) {
    const WimlibCalls& lib = *Wimlib();
    if (name.empty() || !lib.image_name_in_use(destination, name.c_str())) return name;
    for (int n = 2;; ++n) {
        std::string candidate = name + " (" + std::to_string(n) + ")";
        if (!lib.image_name_in_use(destination, candidate.c_str())) return candidate;
    }
}

BOOL WIMExportImage(WimHandle image, WimHandle destination_wim, DWORD flags) {
    std::shared_ptr<WimImage> source = ImageOf(image);
    if (!source) return 0;
    std::shared_ptr<WimFile> destination = FileOf(destination_wim);
    if (!destination) return 0;
    if (!destination->writable()) return Fail(ERROR_ACCESS_DENIED);
    if (flags & (WIM_EXPORT_ONLY_RESOURCES | WIM_EXPORT_ONLY_METADATA)) return Fail(ERROR_NOT_SUPPORTED);
    if (source->file == destination) return Fail(ERROR_INVALID_PARAMETER);
    std::scoped_lock guard(source->file->mutex, destination->mutex);
    const WimlibCalls& lib = *Wimlib();
    const char* source_name = lib.get_image_name(source->file->wim, source->index);
    std::string name = source_name ? source_name : "";
    if (!name.empty() && lib.image_name_in_use(destination->wim, name.c_str())) {
        if (!(flags & WIM_EXPORT_ALLOW_DUPLICATES)) return Fail(ERROR_ALREADY_EXISTS);
        name = FreeImageName(destination->wim, name);
    }
    if (int error = lib.export_image(source->file->wim, source->index, destination->wim, name.c_str(), nullptr, 0))
        return FailWimlib(error);
    const int exported = destination->image_count();
    // The image's data is read from the source while the destination is
    // written, so it is written now, while both are open.
    MessageRelay relay(CallbacksFor(source->file.get(), destination.get()));
    destination->dirty = true;
    if (!CommitWimFile(*destination, relay)) {
        const DWORD error = GetLastError();
        if (destination->image_count() == exported) lib.delete_image(destination->wim, exported);
        return Fail(error);
    }
    relay.finish();
    return 1;
}

BOOL WIMDeleteImage(WimHandle wim, DWORD image_index) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    if (!file->writable()) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard guard(file->mutex);
    if (image_index < 1 || static_cast<int>(image_index) > file->image_count()) return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<std::shared_ptr<WimImage>> images = ImagesOf(*file);
    for (const auto& open : images)
        if (open->index == static_cast<int>(image_index)) return Fail(ERROR_SHARING_VIOLATION);
    if (int error = Wimlib()->delete_image(file->wim, static_cast<int>(image_index))) return FailWimlib(error);
    // Images after the deleted one move up by one.
    for (const auto& open : images)
        if (open->index > static_cast<int>(image_index)) --open->index;
    return WriteChange(*file);
}

DWORD WIMGetImageCount(WimHandle wim) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    std::lock_guard guard(file->mutex);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(file->image_count());
}

void CopyWide(char16_t* into, std::size_t capacity, const std::string& text) {
    const std::u16string wide = Utf8ToUtf16(text);
    const std::size_t count = std::min(wide.size(), capacity - 1);
    std::copy_n(wide.begin(), count, into);
    into[count] = u'\0';
}

BOOL WIMGetAttributes(WimHandle wim, WIM_INFO* info, DWORD info_size) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    if (!info || info_size < sizeof(WIM_INFO)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::lock_guard guard(file->mutex);
    wimlib_wim_info facts{};
    if (int error = Wimlib()->get_wim_info(file->wim, &facts)) return FailWimlib(error);
    std::memset(info, 0, sizeof(WIM_INFO));
    CopyWide(info->WimPath, std::size(info->WimPath), file->path);
    std::memcpy(info->Guid, facts.guid, sizeof(info->Guid));
    info->ImageCount = facts.image_count;
    info->CompressionType = static_cast<DWORD>(facts.compression_type);
    info->PartNumber = facts.part_number;
    info->TotalParts = facts.total_parts;
    info->BootIndex = facts.boot_index;
    DWORD attributes = WIM_ATTRIBUTE_NORMAL;
    if (facts.has_integrity_table) attributes |= WIM_ATTRIBUTE_VERIFY_DATA;
    if (facts.has_rpfix) attributes |= WIM_ATTRIBUTE_RP_FIX;
    if (facts.total_parts > 1) attributes |= WIM_ATTRIBUTE_SPANNED;
    if (facts.is_readonly) attributes |= WIM_ATTRIBUTE_READONLY;
    info->WimAttributes = attributes;
    info->WimFlagsAndAttr = file->flags;
    return 1;
}

BOOL WIMSetBootImage(WimHandle wim, DWORD image_index) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return 0;
    if (!file->writable()) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard guard(file->mutex);
    if (static_cast<int>(image_index) > file->image_count()) return Fail(ERROR_INVALID_PARAMETER);
    wimlib_wim_info facts{};
    facts.boot_index = image_index;
    if (int error = Wimlib()->set_wim_info(file->wim, &facts, WIMLIB_CHANGE_BOOT_INDEX)) return FailWimlib(error);
    return WriteChange(*file);
}

WimHandle WIMCaptureImage(WimHandle wim, const char16_t* path, DWORD capture_flags) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return nullptr;
    if (!file->writable()) return FailHandle(ERROR_ACCESS_DENIED);
    MessageRelay relay(CallbacksFor(file.get()));
    const std::string given = Narrow(path);
    WimLocation location;
    std::string problem;
    if (!ResolveWimLocation(given, false, location, problem)) {
        const DWORD error = GetLastError();
        LogText("capture of " + given + ": " + problem);
        relay.send_path(WIM_MSG_ERROR, given, error);
        return FailHandle(error);
    }
    relay.set_capture_root(location.path, location.drive, location.ntfs);
    relay.exclude_own_file(file->path);

    int add_flags = WIMLIB_ADD_FLAG_TEST_FILE_EXCLUSION | WIMLIB_ADD_FLAG_VERBOSE;
    if (location.ntfs) add_flags |= WIMLIB_ADD_FLAG_NTFS | WIMLIB_ADD_FLAG_WINCONFIG;
    // wimlib writes a WIMBoot-flavoured image on Linux as well.
    if (capture_flags & WIM_FLAG_WIM_BOOT) add_flags |= WIMLIB_ADD_FLAG_WIMBOOT;
    if (capture_flags & (WIM_FLAG_NO_DIRACL | WIM_FLAG_NO_FILEACL)) add_flags |= WIMLIB_ADD_FLAG_NO_ACLS;
    if (capture_flags & WIM_FLAG_NO_RP_FIX) add_flags |= WIMLIB_ADD_FLAG_NORPFIX;

    std::lock_guard guard(file->mutex);
    const WimlibCalls& lib = *Wimlib();
    lib.register_progress_function(file->wim, &MessageRelay::Progress, &relay);
    const int error = lib.add_image(file->wim, location.path.c_str(), "", nullptr, add_flags);
    lib.register_progress_function(file->wim, nullptr, nullptr);
    if (error != WIMLIB_ERR_SUCCESS) {
        FailWimlib(error, &relay);
        return nullptr;
    }
    const int captured = file->image_count();
    file->dirty = true;
    // The volume must stay readable (the loop device attached) until the
    // file data has been written.
    if (!CommitWimFile(*file, relay)) {
        const DWORD failure = GetLastError();
        if (file->image_count() == captured) lib.delete_image(file->wim, captured);
        return FailHandle(failure);
    }
    relay.finish();
    auto image = std::make_shared<WimImage>();
    image->file = file;
    image->index = captured;
    return AddImageHandle(std::move(image));
}

WimHandle WIMLoadImage(WimHandle wim, DWORD image_index) {
    std::shared_ptr<WimFile> file = FileOf(wim);
    if (!file) return nullptr;
    std::lock_guard guard(file->mutex);
    if (image_index < 1 || static_cast<int>(image_index) > file->image_count())
        return FailHandle(ERROR_INVALID_PARAMETER);
    auto image = std::make_shared<WimImage>();
    image->file = file;
    image->index = static_cast<int>(image_index);
    return AddImageHandle(std::move(image));
}

BOOL WIMApplyImage(WimHandle image_handle, const char16_t* path, DWORD apply_flags) {
    std::shared_ptr<WimImage> image = ImageOf(image_handle);
    if (!image) return 0;
    WimFile& file = *image->file;
    MessageRelay relay(CallbacksFor(&file));
    const std::string given = Narrow(path);
    if (apply_flags & WIM_FLAG_WIM_BOOT) {
        // WIMBoot pointer files only mean something to a running Windows.
        LogText("apply to " + given + ": WIMBoot apply needs Windows and is not supported here");
        relay.send_path(WIM_MSG_ERROR, given, ERROR_NOT_SUPPORTED);
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (apply_flags & WIM_FLAG_NO_APPLY) return 1;
    WimLocation location;
    std::string problem;
    if (!ResolveWimLocation(given, true, location, problem)) {
        const DWORD error = GetLastError();
        LogText("apply to " + given + ": " + problem);
        relay.send_path(WIM_MSG_ERROR, given, error);
        return Fail(error);
    }
    int extract_flags = 0;
    if (location.ntfs) extract_flags |= WIMLIB_EXTRACT_FLAG_NTFS;
    if (apply_flags & (WIM_FLAG_NO_DIRACL | WIM_FLAG_NO_FILEACL)) extract_flags |= WIMLIB_EXTRACT_FLAG_NO_ACLS;
    if (apply_flags & WIM_FLAG_NO_RP_FIX) extract_flags |= WIMLIB_EXTRACT_FLAG_NORPFIX;

    std::lock_guard guard(file.mutex);
    const WimlibCalls& lib = *Wimlib();
    lib.register_progress_function(file.wim, &MessageRelay::Progress, &relay);
    const int error = lib.extract_image(file.wim, image->index, location.path.c_str(), extract_flags);
    lib.register_progress_function(file.wim, nullptr, nullptr);
    if (error != WIMLIB_ERR_SUCCESS) {
        // A file left half written by a damaged resource is named, and
        // removed rather than left to pass for a good copy.
        if (!location.ntfs)
            for (const std::string& damaged : RemoveFilesNotAsStored(lib, file.wim, image->index, location.path)) {
                LogText("apply to " + given + ": " + damaged + " could not be written whole (" +
                        WimlibErrorText(error) + "); it was removed");
                relay.send_path(WIM_MSG_ERROR, damaged, WindowsErrorOf(error));
            }
        return FailWimlib(error, &relay);
    }
    // In NTFS mode the volume is written through a device that the NTFS
    // library syncs when it lets go of it.
    if (!location.ntfs && !SyncFileSystemOf(location.path)) return Fail(ERROR_WRITE_FAULT);
    relay.finish();
    return 1;
}

// The XML of the whole file, as UTF-8.
bool WholeXml(WimFile& file, std::string& xml) {
    void* data = nullptr;
    std::size_t size = 0;
    const int error = Wimlib()->get_xml_data(file.wim, &data, &size);
    if (error == WIMLIB_ERR_NO_FILENAME) {
        xml = "<WIM></WIM>";  // a new file that holds no image yet
        return true;
    }
    if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error);
    xml = XmlFromUtf16Bytes(data, size);
    std::free(data);
    return true;
}

BOOL WIMGetImageInformation(WimHandle object, void** image_info, DWORD* size) {
    if (!image_info || !size) return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<WimImage> image = ImageOf(object);
    std::shared_ptr<WimFile> file = image ? image->file : FileOf(object);
    if (!file) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard guard(file->mutex);
    std::string xml;
    if (!WholeXml(*file, xml)) return 0;
    if (image) xml = ImageElement(xml, image->index);
    const std::u16string wide = Utf16WithBom(xml);
    const std::size_t bytes = wide.size() * sizeof(char16_t);
    void* buffer = std::malloc(bytes);
    if (!buffer) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(buffer, wide.data(), bytes);
    *image_info = buffer;
    *size = static_cast<DWORD>(bytes);
    return 1;
}

// Merges the settings of the XML into the image's information; an element
// given empty removes that setting.
BOOL WIMSetImageInformation(WimHandle image_handle, const void* image_info, DWORD size) {
    std::shared_ptr<WimImage> image = ImageOf(image_handle);
    if (!image) return 0;
    if (!image_info || size < 2) return Fail(ERROR_INVALID_PARAMETER);
    WimFile& file = *image->file;
    if (!file.writable()) return Fail(ERROR_ACCESS_DENIED);
    std::vector<std::pair<std::string, std::string>> properties;
    if (!ImageProperties(XmlFromUtf16Bytes(image_info, size), properties)) return Fail(ERROR_INVALID_DATA);
    std::lock_guard guard(file.mutex);
    for (const auto& [name, value] : properties) {
        const int error =
            Wimlib()->set_image_property(file.wim, image->index, name.c_str(), value.empty() ? nullptr : value.c_str());
        if (error != WIMLIB_ERR_SUCCESS) return FailWimlib(error);
    }
    return WriteChange(file);
}

DWORD WIMGetMessageCallbackCount(WimHandle wim) { return CallbackCount(wim); }

DWORD WIMRegisterMessageCallback(WimHandle wim, WIMMessageCallback callback, void* user_data) {
    return RegisterCallback(wim, callback, user_data);
}

BOOL WIMUnregisterMessageCallback(WimHandle wim, WIMMessageCallback callback) {
    return UnregisterCallback(wim, callback) ? 1 : 0;
}

BOOL WIMRegisterLogFile(const char16_t* log_file, DWORD /*flags*/) {
    const std::string path = Narrow(log_file);
    if (path.empty()) return Fail(ERROR_INVALID_PARAMETER);
    const WimlibCalls* lib = Wimlib();
    if (!lib) return Fail(ERROR_MOD_NOT_FOUND);
    if (int error = lib->set_error_file_by_name(path.c_str())) return FailWimlib(error);
    lib->set_print_errors(true);
    SetLogFile(path);
    return 1;
}

BOOL WIMUnregisterLogFile(const char16_t* /*log_file*/) {
    if (const WimlibCalls* lib = Wimlib()) lib->set_print_errors(false);
    SetLogFile("");
    return 1;
}

// One file of an image, written to exactly `destination`: wimlib extracts
// into a folder, so it goes to a scratch folder beside it and is moved.
BOOL WIMExtractImagePath(WimHandle image_handle, const char16_t* image_path, const char16_t* destination,
                         DWORD /*extract_flags*/) {
    std::shared_ptr<WimImage> image = ImageOf(image_handle);
    if (!image) return 0;
    std::string inside = Narrow(image_path);
    const std::string target = Narrow(destination);
    if (inside.empty() || target.empty()) return Fail(ERROR_INVALID_PARAMETER);
    std::replace(inside.begin(), inside.end(), '\\', '/');
    std::filesystem::path parent = std::filesystem::path(target).parent_path();
    if (parent.empty()) parent = ".";
    // Beside the destination, so that the file is moved, not copied, into place.
    ScratchFolder scratch = ScratchFolder::Create(".wimextract-", parent.string());
    if (!scratch) return 0;
    WimFile& file = *image->file;
    std::lock_guard guard(file.mutex);
    MessageRelay relay(CallbacksFor(&file));
    const WimlibCalls& lib = *Wimlib();
    const char* paths[] = {inside.c_str()};
    lib.register_progress_function(file.wim, &MessageRelay::Progress, &relay);
    const int error = lib.extract_paths(file.wim, image->index, scratch.path().c_str(), paths, 1,
                                        WIMLIB_EXTRACT_FLAG_NO_PRESERVE_DIR_STRUCTURE);
    lib.register_progress_function(file.wim, nullptr, nullptr);
    std::error_code ec;
    bool moved = false;
    DWORD failure = ERROR_SUCCESS;
    if (error == WIMLIB_ERR_SUCCESS) {
        const std::filesystem::path extracted = std::filesystem::path(scratch.path()) / std::filesystem::path(inside).filename();
        std::filesystem::rename(extracted, target, ec);
        moved = !ec;
        if (ec) failure = ErrorFromErrno(ec.value());
    } else {
        FailWimlib(error, &relay);
        failure = GetLastError();
    }
    scratch.remove();
    if (!moved) return Fail(failure);
    relay.finish();
    return 1;
}

std::string OpenWimgapi() { return OpenWimlib(); }
void CloseWimgapi() { CloseWimlib(); }

template <typename Fn>
ModuleExport Export(const char* name, Fn function) {
    return ModuleExport{name, reinterpret_cast<void*>(function)};
}

std::vector<ModuleExport> ExportsWimgapi() {
    return {
        Export<WIMCreateFile_fn>("WIMCreateFile", &WIMCreateFile),
        Export<WIMCloseHandle_fn>("WIMCloseHandle", &WIMCloseHandle),
        Export<WIMSetTemporaryPath_fn>("WIMSetTemporaryPath", &WIMSetTemporaryPath),
        Export<WIMSetReferenceFile_fn>("WIMSetReferenceFile", &WIMSetReferenceFile),
        Export<WIMSplitFile_fn>("WIMSplitFile", &WIMSplitFile),
        Export<WIMExportImage_fn>("WIMExportImage", &WIMExportImage),
        Export<WIMDeleteImage_fn>("WIMDeleteImage", &WIMDeleteImage),
        Export<WIMGetImageCount_fn>("WIMGetImageCount", &WIMGetImageCount),
        Export<WIMGetAttributes_fn>("WIMGetAttributes", &WIMGetAttributes),
        Export<WIMSetBootImage_fn>("WIMSetBootImage", &WIMSetBootImage),
        Export<WIMCaptureImage_fn>("WIMCaptureImage", &WIMCaptureImage),
        Export<WIMLoadImage_fn>("WIMLoadImage", &WIMLoadImage),
        Export<WIMApplyImage_fn>("WIMApplyImage", &WIMApplyImage),
        Export<WIMGetImageInformation_fn>("WIMGetImageInformation", &WIMGetImageInformation),
        Export<WIMSetImageInformation_fn>("WIMSetImageInformation", &WIMSetImageInformation),
        Export<WIMGetMessageCallbackCount_fn>("WIMGetMessageCallbackCount", &WIMGetMessageCallbackCount),
        Export<WIMRegisterMessageCallback_fn>("WIMRegisterMessageCallback", &WIMRegisterMessageCallback),
        Export<WIMUnregisterMessageCallback_fn>("WIMUnregisterMessageCallback", &WIMUnregisterMessageCallback),
        Export<WIMMountImage_fn>("WIMMountImage", &WIMMountImage),
        Export<WIMMountImageHandle_fn>("WIMMountImageHandle", &WIMMountImageHandle),
        Export<WIMUnmountImage_fn>("WIMUnmountImage", &WIMUnmountImage),
        Export<WIMUnmountImageHandle_fn>("WIMUnmountImageHandle", &WIMUnmountImageHandle),
        Export<WIMGetMountedImages_fn>("WIMGetMountedImages", &WIMGetMountedImages),
        Export<WIMGetMountedImageInfo_fn>("WIMGetMountedImageInfo", &WIMGetMountedImageInfo),
        Export<WIMRegisterLogFile_fn>("WIMRegisterLogFile", &WIMRegisterLogFile),
        Export<WIMUnregisterLogFile_fn>("WIMUnregisterLogFile", &WIMUnregisterLogFile),
        Export<WIMExtractImagePath_fn>("WIMExtractImagePath", &WIMExtractImagePath),
    };
}

}  // namespace

void WIMFreeMemory(void* buffer) { std::free(buffer); }

}  // namespace platform::wim

namespace platform {

const StandInModule& WimgapiModule() {
    static const StandInModule module{"wimgapi.dll", &wim::OpenWimgapi, &wim::CloseWimgapi, &wim::ExportsWimgapi};
    return module;
}

}  // namespace platform
