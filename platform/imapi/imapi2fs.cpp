#include "platform/imapi/imapi2fs.h"

// The burn source that carries the image is declared by this header alone.
#define LIBISOFS_WITHOUT_LIBBURN yes
#include <libisofs/libisofs.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/device/handle.h"
#include "platform/os/child_process.h"
#include "platform/os/file_facts.h"
#include "platform/os/shared_library.h"
#include "platform/os/temp_folder.h"

namespace platform::imapi {

namespace {

// libisofs, opened at run time through the binder and kept open for the
// life of the process: its writer threads may outlive any one image.
struct Libisofs {
    decltype(&::iso_init) init;
    decltype(&::iso_set_msgs_severities) set_msgs_severities;
    decltype(&::iso_error_to_msg) error_to_msg;
    decltype(&::iso_image_new) image_new;
    decltype(&::iso_image_unref) image_unref;
    decltype(&::iso_image_get_root) image_get_root;
    decltype(&::iso_tree_set_follow_symlinks) tree_set_follow_symlinks;
    decltype(&::iso_tree_set_ignore_special) tree_set_ignore_special;
    decltype(&::iso_tree_add_dir_rec) tree_add_dir_rec;
    decltype(&::iso_tree_add_new_node) tree_add_new_node;
    decltype(&::iso_node_set_hidden) node_set_hidden;
    decltype(&::iso_image_set_boot_image) image_set_boot_image;
    decltype(&::iso_image_add_boot_image) image_add_boot_image;
    decltype(&::iso_image_set_boot_catalog_hidden) image_set_boot_catalog_hidden;
    decltype(&::el_torito_set_load_size) set_load_size;
    decltype(&::el_torito_set_full_load) set_full_load;
    decltype(&::el_torito_set_boot_platform_id) set_boot_platform_id;
    decltype(&::el_torito_set_id_string) set_id_string;
    decltype(&::iso_write_opts_new) write_opts_new;
    decltype(&::iso_write_opts_free) write_opts_free;
    decltype(&::iso_write_opts_set_iso_level) write_opts_set_iso_level;
    decltype(&::iso_write_opts_set_joliet) write_opts_set_joliet;
    decltype(&::iso_write_opts_set_fifo_size) write_opts_set_fifo_size;
    decltype(&::iso_image_create_burn_source) image_create_burn_source;
    decltype(&::iso_ring_buffer_get_status) ring_buffer_get_status;
};

const Libisofs& Library() {
    static std::mutex mutex;
    static Libisofs* bound = nullptr;
    std::lock_guard guard(mutex);
    if (bound) return *bound;
    static SharedLibrary& held = *new SharedLibrary;
    auto* calls = new Libisofs{};
    Libisofs& c = *calls;
    SharedLibrary library = LoadSharedLibrary("libisofs.so.6",
        {
            {c.init, "iso_init"},
            {c.set_msgs_severities, "iso_set_msgs_severities"},
            {c.error_to_msg, "iso_error_to_msg"},
            {c.image_new, "iso_image_new"},
            {c.image_unref, "iso_image_unref"},
            {c.image_get_root, "iso_image_get_root"},
            {c.tree_set_follow_symlinks, "iso_tree_set_follow_symlinks"},
            {c.tree_set_ignore_special, "iso_tree_set_ignore_special"},
            {c.tree_add_dir_rec, "iso_tree_add_dir_rec"},
            {c.tree_add_new_node, "iso_tree_add_new_node"},
            {c.node_set_hidden, "iso_node_set_hidden"},
            {c.image_set_boot_image, "iso_image_set_boot_image"},
            {c.image_add_boot_image, "iso_image_add_boot_image"},
            {c.image_set_boot_catalog_hidden, "iso_image_set_boot_catalog_hidden"},
            {c.set_load_size, "el_torito_set_load_size"},
            {c.set_full_load, "el_torito_set_full_load"},
            {c.set_boot_platform_id, "el_torito_set_boot_platform_id"},
            {c.set_id_string, "el_torito_set_id_string"},
            {c.write_opts_new, "iso_write_opts_new"},
            {c.write_opts_free, "iso_write_opts_free"},
            {c.write_opts_set_iso_level, "iso_write_opts_set_iso_level"},
            {c.write_opts_set_joliet, "iso_write_opts_set_joliet"},
            {c.write_opts_set_fifo_size, "iso_write_opts_set_fifo_size"},
            {c.image_create_burn_source, "iso_image_create_burn_source"},
            {c.ring_buffer_get_status, "iso_ring_buffer_get_status"},
        },
        "could not load libisofs.so.6");
    if (c.init() < 0) throw std::runtime_error("could not load libisofs.so.6");
    // Errors come back as results; nothing is printed on our standard error.
    char never[] = "NEVER", all[] = "ALL", prefix[] = "libisofs : ";
    c.set_msgs_severities(all, never, prefix);
    held = std::move(library);
    bound = calls;
    return *bound;
}

[[noreturn]] void Fail(HRESULT code, const std::string& what, int libisofs_error) {
    throw ImapiError(code, what + ": " + Library().error_to_msg(libisofs_error));
}

constexpr int kHideEverywhere =
    LIBISO_HIDE_ON_RR | LIBISO_HIDE_ON_JOLIET | LIBISO_HIDE_ON_1999 | LIBISO_HIDE_ON_HFSPLUS | LIBISO_HIDE_ON_FAT;

std::string BootNodeName(std::size_t index) { return ".tarnovell-boot-" + std::to_string(index); }
constexpr const char* kCatalogName = ".tarnovell-boot.cat";

// 512-byte sectors that load a whole boot image, as far as the catalog's
// 16-bit count reaches.
std::uint32_t WholeImageSectors(const std::string& path) {
    auto facts = FileFactsOf(path);
    std::int64_t size = facts ? facts->size : 0;
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>((size + 511) / 512, 1, 0xFFFF));
}

// The ring between the library's writer thread and our reads, in blocks of
// 2 KiB: several of the copy's reads of 1 MiB.
constexpr std::size_t kRingBlocks = 4096;

class LibisofsResult : public FileSystemImageResult {
public:
    LibisofsResult(::IsoImage* image, burn_source* source) : image_(image), source_(source) {
        blocks_ = source_->get_size(source_) / 2048;
    }
    ~LibisofsResult() override {
        if (!ended_ && source_->version >= 1 && source_->cancel) source_->cancel(source_);
        source_->free_data(source_);
        std::free(source_);
        Library().image_unref(image_);
    }
    std::int64_t TotalBlocks() const override { return blocks_; }
    std::size_t Read(void* buffer, std::size_t size) override {
        if (ended_) return 0;
        size = std::min<std::size_t>(size / 2048 * 2048, 1 << 30);
        await(size);
        int got = source_->read_xt(source_, static_cast<unsigned char*>(buffer), static_cast<int>(size));
        if (got < 0) throw ImapiError(IMAPI_E_DATA_STREAM_READ_FAILURE, "the image could not be made");
        if (got == 0) ended_ = true;
        return static_cast<std::size_t>(got);
    }

private:
    // The library's writer thread puts the image into its ring 2 KiB at a
    // time, and wakes a reader that waits on the ring at each: half a
    // million wake-ups for a 2 GiB image, each costing both threads. The
    // reader sleeps instead until the ring holds what it asks for (or the
    // writer has ended), and takes it in one go.
    void await(std::size_t wanted) const {
        for (;;) {
            std::size_t room = 0, free = 0;
            const int state = Library().ring_buffer_get_status(source_, &room, &free);
            if (state != kWriting || room - free >= std::min(wanted, room)) return;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    static constexpr int kWriting = 1;  // the ring's state while its writer runs
    ::IsoImage* image_;
    burn_source* source_;
    std::int64_t blocks_ = 0;
    bool ended_ = false;
};

class StagedResult : public FileSystemImageResult {
public:
    StagedResult(ScratchFolder folder, const std::string& file) : folder_(std::move(folder)) {
        handle_ = CreateFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
        std::int64_t size = 0;
        if (!handle_ || !GetFileSizeEx(handle_, &size))
            throw ImapiError(IMAPI_E_STASHFILE_OPEN_FAILURE, "the staged image cannot be opened");
        blocks_ = size / 2048;
    }
    std::int64_t TotalBlocks() const override { return blocks_; }
    std::size_t Read(void* buffer, std::size_t size) override {
        std::size_t done = 0;
        if (!ReadAt(handle_, position_, buffer, size, &done))
            throw ImapiError(IMAPI_E_STASHFILE_READ_FAILURE, "the staged image cannot be read");
        position_ += static_cast<std::int64_t>(done);
        return done;
    }

private:
    ScratchFolder folder_;  // with the staged image, removed when the result goes
    Handle handle_;
    std::int64_t blocks_ = 0;
    std::int64_t position_ = 0;
};

// A path as a graft point of genisoimage sees it: '=' and '\' escaped.
std::string GraftEscaped(const std::string& path) {
    std::string escaped;
    for (char c : path) {
        if (c == '=' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

FileSystemImage::FileSystemImage() { Library(); }
FileSystemImage::~FileSystemImage() = default;

void FileSystemImage::ChooseImageDefaultsForMediaType(int media_type) {
    if (media_type != IMAPI_MEDIA_TYPE_DISK) throw ImapiError(IMAPI_E_INVALID_PARAM, "unknown media type");
    level_ = 2;
    file_systems_ = FsiFileSystemISO9660 | FsiFileSystemJoliet;
}

void FileSystemImage::set_ISO9660InterchangeLevel(int level) {
    if (level < 1 || level > 3) throw ImapiError(IMAPI_E_ISO9660_LEVELS, "ISO 9660 level " + std::to_string(level));
    level_ = level;
}

void FileSystemImage::set_VolumeName(const std::string& name) {
    if (name.size() > 32) throw ImapiError(IMAPI_E_INVALID_VOLUME_NAME, "volume name longer than 32 characters");
    volume_name_ = name;
}

void FileSystemImage::AddTree(const std::string& source_folder) {
    auto facts = FileFactsOf(source_folder);
    if (!facts || facts->kind != FileKind::Folder) throw ImapiError(IMAPI_E_DIR_NOT_FOUND, source_folder);
    trees_.push_back(source_folder);
}

std::unique_ptr<FileSystemImageResult> FileSystemImage::CreateResultImage() {
    if (!(file_systems_ & (FsiFileSystemISO9660 | FsiFileSystemJoliet | FsiFileSystemUDF)))
        throw ImapiError(IMAPI_E_INVALID_PARAM, "no file system chosen");
    for (const auto& boot : boot_)
        if (!FileFactsOf(boot.BootImage)) throw ImapiError(IMAPI_E_FILE_NOT_FOUND, boot.BootImage);
    return (file_systems_ & FsiFileSystemUDF) ? CreateWithGenisoimage() : CreateWithLibisofs();
}

std::unique_ptr<FileSystemImageResult> FileSystemImage::CreateWithLibisofs() {
    const Libisofs& iso = Library();
    ::IsoImage* raw_image = nullptr;
    if (int error = iso.image_new(volume_name_.c_str(), &raw_image); error < 0)
        Fail(IMAPI_E_FSI_INTERNAL_ERROR, "new image", error);
    std::unique_ptr<::IsoImage, void (*)(::IsoImage*)> image(raw_image, [](::IsoImage* i) { Library().image_unref(i); });
    // As on the service, a tree is what its files are: links are not
    // followed, and device nodes, FIFOs and sockets are left out.
    iso.tree_set_follow_symlinks(image.get(), 0);
    iso.tree_set_ignore_special(image.get(), 1 | 2 | 4 | 8);
    IsoDir* root = iso.image_get_root(image.get());
    for (const auto& tree : trees_)
        if (int error = iso.tree_add_dir_rec(image.get(), root, tree.c_str()); error < 0)
            Fail(error == static_cast<int>(ISO_FILE_DOESNT_EXIST) ? IMAPI_E_DIR_NOT_FOUND : IMAPI_E_DIRECTORY_READ_FAILURE, tree, error);

    for (std::size_t i = 0; i < boot_.size(); ++i) {
        const BootOptions& options = boot_[i];
        // The boot image is written but shows in no directory, as the
        // service keeps it.
        const std::string name = BootNodeName(i);
        IsoNode* node = nullptr;
        if (int error = iso.tree_add_new_node(image.get(), root, name.c_str(), options.BootImage.c_str(), &node);
            error < 0)
            Fail(error == static_cast<int>(ISO_NODE_NAME_NOT_UNIQUE) ? IMAPI_E_DUP_NAME : IMAPI_E_FILE_NOT_FOUND, options.BootImage, error);
        iso.node_set_hidden(node, kHideEverywhere | LIBISO_HIDE_BUT_WRITE);
        eltorito_boot_media_type type = options.Emulation == EmulationNone       ? ELTORITO_NO_EMUL
                                        : options.Emulation == EmulationHardDisk ? ELTORITO_HARD_DISC_EMUL
                                                                                 : ELTORITO_FLOPPY_EMUL;
        ElToritoBootImage* boot = nullptr;
        const std::string path = "/" + name;
        int error = i == 0 ? iso.image_set_boot_image(image.get(), path.c_str(), type, kCatalogName, &boot)
                           : iso.image_add_boot_image(image.get(), path.c_str(), type, 0, &boot);
        if (error < 0) Fail(IMAPI_E_INVALID_PARAM, "boot image " + options.BootImage, error);
        iso.set_boot_platform_id(boot, static_cast<std::uint8_t>(options.PlatformId));
        std::uint8_t id[28] = {};
        std::memcpy(id, options.Manufacturer.data(), std::min<std::size_t>(options.Manufacturer.size(), sizeof id));
        iso.set_id_string(boot, id);
        if (type == ELTORITO_NO_EMUL) {
            // The count is 16 bits in the catalog; larger values would wrap.
            std::uint32_t sectors = options.LoadSectors ? std::min<std::uint32_t>(options.LoadSectors, 0xFFFF)
                                                        : WholeImageSectors(options.BootImage);
            iso.set_full_load(boot, 0);
            iso.set_load_size(boot, static_cast<short>(static_cast<std::uint16_t>(sectors)));
        }
    }
    if (!boot_.empty()) iso.image_set_boot_catalog_hidden(image.get(), kHideEverywhere);

    IsoWriteOpts* raw_options = nullptr;
    if (int error = iso.write_opts_new(&raw_options, 0); error < 0) Fail(IMAPI_E_FSI_INTERNAL_ERROR, "options", error);
    std::unique_ptr<IsoWriteOpts, void (*)(IsoWriteOpts*)> write_options(
        raw_options, [](IsoWriteOpts* o) { Library().write_opts_free(o); });
    iso.write_opts_set_iso_level(write_options.get(), level_);
    iso.write_opts_set_joliet(write_options.get(), (file_systems_ & FsiFileSystemJoliet) ? 1 : 0);
    // Room for the writer to go on while the reader sleeps (see await).
    iso.write_opts_set_fifo_size(write_options.get(), kRingBlocks);
    burn_source* source = nullptr;
    if (int error = iso.image_create_burn_source(image.get(), write_options.get(), &source); error < 0)
        Fail(error == static_cast<int>(ISO_FILE_TOO_BIG) ? IMAPI_E_DATA_TOO_BIG : IMAPI_E_FSI_INTERNAL_ERROR, "result image", error);
    return std::make_unique<LibisofsResult>(image.release(), source);
}

std::string UnbuildableFileSystems(int file_systems) {
    if (!(file_systems & FsiFileSystemUDF)) return "";
    if (!(file_systems & FsiFileSystemISO9660))
        return "A UDF image without ISO 9660 cannot be made here: genisoimage writes UDF only beside ISO 9660. "
               "Choose \"ISO9660 + UDF\".";
    if (FindOnPath("genisoimage").empty()) return "UDF images are made with genisoimage, which is not installed.";
    return "";
}

std::unique_ptr<FileSystemImageResult> FileSystemImage::CreateWithGenisoimage() {
    if (const std::string refused = UnbuildableFileSystems(file_systems_); !refused.empty())
        throw std::runtime_error(refused);
    ScratchFolder folder = ScratchFolder::Create(".tarnovell-iso.", working_directory_);
    if (!folder) throw ImapiError(IMAPI_E_STASHFILE_OPEN_FAILURE, "no working folder in " + working_directory_);
    const std::string output = folder.file("image.iso");
    std::vector<std::string> argv = {"genisoimage", "-quiet", "-iso-level", std::to_string(level_), "-udf",
                                     "-graft-points", "-o", output};
    if (!volume_name_.empty()) argv.insert(argv.end(), {"-V", volume_name_});
    const bool joliet = file_systems_ & FsiFileSystemJoliet;
    if (joliet) argv.push_back("-J");
    // The boot catalog and images show in no directory. A Joliet tree they
    // are hidden from is only named where there is one: genisoimage makes
    // one for any -hide-joliet.
    auto hide = [&](const std::string& name) {
        argv.insert(argv.end(), {"-hide", name});
        if (joliet) argv.insert(argv.end(), {"-hide-joliet", name});
    };
    std::vector<std::string> grafts;
    for (std::size_t i = 0; i < boot_.size(); ++i) {
        const BootOptions& options = boot_[i];
        const std::string name = BootNodeName(i);
        if (i == 0) {
            argv.insert(argv.end(), {"-c", kCatalogName});
            hide(kCatalogName);
        } else {
            argv.push_back("-eltorito-alt-boot");
        }
        argv.insert(argv.end(), {options.PlatformId == PlatformEFI ? "-e" : "-b", name});
        hide(name);
        if (options.Emulation == EmulationNone) {
            std::uint32_t sectors = options.LoadSectors ? std::min<std::uint32_t>(options.LoadSectors, 0xFFFF)
                                                        : WholeImageSectors(options.BootImage);
            argv.insert(argv.end(), {"-no-emul-boot", "-boot-load-size", std::to_string(sectors)});
        } else if (options.Emulation == EmulationHardDisk) {
            argv.push_back("-hard-disk-boot");
        }
        grafts.push_back(name + "=" + GraftEscaped(options.BootImage));
    }
    for (const auto& tree : trees_) argv.push_back(GraftEscaped(tree));
    argv.insert(argv.end(), grafts.begin(), grafts.end());
    ChildResult result = RunChild(argv);
    if (!result.succeeded()) throw ImapiError(IMAPI_E_FSI_INTERNAL_ERROR, "genisoimage failed: " + result.reason());
    return std::make_unique<StagedResult>(std::move(folder), output);
}

}  // namespace platform::imapi
