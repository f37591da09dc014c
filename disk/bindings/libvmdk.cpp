#include "disk/bindings/libvmdk.h"

#include <stdexcept>

namespace disk {

namespace {

const ImageLibraryNames kVmdkNames{
    .missing = "could not find libvmdk.dll",
    .initialize = "libvmdk_handle_initialize",
    .free = "libvmdk_handle_free",
    .open = "libvmdk_handle_open",
    .close = "libvmdk_handle_close",
    .read_at = "libvmdk_handle_read_buffer_at_offset",
    .media_size = "libvmdk_handle_get_media_size",
    .error_sprint = "libvmdk_error_sprint",
    .error_free = "libvmdk_error_free",
    .parent_name_size = "libvmdk_handle_get_utf8_parent_filename_size",
    .parent_name = "libvmdk_handle_get_utf8_parent_filename",
    .set_parent = "libvmdk_handle_set_parent_handle",
};

constexpr int kBfioRead = 1;              // LIBBFIO_ACCESS_FLAG_READ
constexpr std::uint8_t kIoNotManaged = 0;  // the io handles are ours to free
constexpr int kUnlimitedOpenHandles = 0;

}  // namespace

// What libbfio reads one extent file through: our open file and the
// position libbfio's seeks leave.
struct TLibVMDK::ExtentIo {
    platform::Handle file;
    std::int64_t size = 0;
    std::int64_t position = 0;
    bool open = false;

    static ExtentIo& Of(void* io) { return *static_cast<ExtentIo*>(io); }
    static int Free(void** io, void**) {
        if (io) *io = nullptr;  // freed by the TLibVMDK that made it
        return 1;
    }
    static int Clone(void**, void*, void**) { return -1; }
    static int Open(void* io, int access_flags, void**) {
        if (access_flags & ~kBfioRead) return -1;  // read only
        Of(io).open = true;
        return 1;
    }
    static int Close(void* io, void**) {
        Of(io).open = false;
        return 0;
    }
    static long Read(void* io, std::uint8_t* buffer, std::size_t size, void**) {
        ExtentIo& extent = Of(io);
        std::size_t done = 0;
        if (!platform::ReadAt(extent.file, extent.position, buffer, size, &done)) return -1;
        extent.position += static_cast<std::int64_t>(done);
        return static_cast<long>(done);
    }
    static long Write(void*, const std::uint8_t*, std::size_t, void**) { return -1; }
    static std::int64_t Seek(void* io, std::int64_t offset, int whence, void**) {
        ExtentIo& extent = Of(io);
        const std::int64_t from = whence == 0 ? 0 : whence == 1 ? extent.position : whence == 2 ? extent.size : -1;
        if (from < 0 || (offset < 0 && -offset > from)) return -1;
        extent.position = from + offset;
        return extent.position;
    }
    static int Exists(void*, void**) { return 1; }
    static int IsOpen(void* io, void**) { return Of(io).open ? 1 : 0; }
    static int GetSize(void* io, std::uint64_t* size, void**) {
        *size = static_cast<std::uint64_t>(Of(io).size);
        return 1;
    }
};

TLibVMDK::TLibVMDK(const std::string& library, const std::string& bfio)
    : ImageLibraryFile(kVmdkNames, library), bfio_(bfio) {
    BindMore({{open_extent_pool_, "libvmdk_handle_open_extent_data_files_file_io_pool"},
              {extent_count_, "libvmdk_handle_get_number_of_extents"},
              {extent_descriptor_, "libvmdk_handle_get_extent_descriptor"},
              {extent_free_, "libvmdk_extent_descriptor_free"},
              {extent_type_, "libvmdk_extent_descriptor_get_type"},
              {extent_range_, "libvmdk_extent_descriptor_get_range"},
              {extent_name_size_, "libvmdk_extent_descriptor_get_utf8_filename_size"},
              {extent_name_, "libvmdk_extent_descriptor_get_utf8_filename"}});
    if (!bfio_ || bfio_.bind({{bfio_handle_initialize_, "libbfio_handle_initialize"},
                              {bfio_handle_free_, "libbfio_handle_free"},
                              {bfio_pool_initialize_, "libbfio_pool_initialize"},
                              {bfio_pool_set_handle_, "libbfio_pool_set_handle"},
                              {bfio_pool_free_, "libbfio_pool_free"},
                              {bfio_error_free_, "libbfio_error_free"}}))
        throw std::runtime_error(kVmdkNames.missing);
}

TLibVMDK::~TLibVMDK() {
    // The library reads the pool until it is closed.
    Close();
    FreePool();
}

void TLibVMDK::FreePool() {
    if (!pool_) return;
    void* error = nullptr;
    bfio_pool_free_(&pool_, &error);  // frees the libbfio handles in it too
    if (error) bfio_error_free_(&error);
    pool_ = nullptr;
    extents_.clear();
}

std::vector<VmdkLibraryExtent> TLibVMDK::Extents() {
    if (!handle_) throw std::runtime_error("no VMDK descriptor is open");
    int count = 0;
    if (!Check(extent_count_(handle_, &count, error_slot()) == 1)) throw std::runtime_error(error());
    std::vector<VmdkLibraryExtent> extents;
    for (int i = 0; i < count; ++i) {
        void* descriptor = nullptr;
        if (!Check(extent_descriptor_(handle_, i, &descriptor, error_slot()) == 1)) throw std::runtime_error(error());
        VmdkLibraryExtent extent;
        std::size_t name_size = 0;
        bool read = Check(extent_type_(descriptor, &extent.type, error_slot()) == 1) &&
                    Check(extent_range_(descriptor, &extent.offset, &extent.size, error_slot()) == 1);
        if (read) {
            const int known = extent_name_size_(descriptor, &name_size, error_slot());
            read = Check(known >= 0);
            if (read && known == 1 && name_size > 1) {
                std::string name(name_size, '\0');
                read = Check(extent_name_(descriptor, reinterpret_cast<std::uint8_t*>(name.data()), name_size,
                                          error_slot()) == 1);
                name.resize(name.find('\0') == std::string::npos ? name_size : name.find('\0'));
                extent.file = name;
            }
        }
        extent_free_(&descriptor, error_slot());
        Check(true);
        if (!read) throw std::runtime_error(error());
        extents.push_back(std::move(extent));
    }
    return extents;
}

int TLibVMDK::OpenExtentDataFiles(std::vector<platform::Handle> files) {
    if (!handle_) return -1;
    if (pool_) {
        set_error("the extent files are open already");
        return -1;
    }
    // What fails before the library has the pool is ours to free at once;
    // what fails after it, once the library has let go of it.
    auto refuse = [&](const std::string& why) {
        if (pool_) Close();
        FreePool();
        set_error(why);
        return -1;
    };
    void* bfio_error = nullptr;
    auto failed = [&](bool ok) {
        if (bfio_error) bfio_error_free_(&bfio_error);
        bfio_error = nullptr;
        return !ok;
    };
    if (failed(bfio_pool_initialize_(&pool_, static_cast<int>(files.size()), kUnlimitedOpenHandles, &bfio_error) == 1))
        return refuse("libbfio_pool_initialize failed");
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!files[i]) continue;
        auto io = std::make_unique<ExtentIo>();
        io->file = std::move(files[i]);
        if (!platform::GetFileSizeEx(io->file, &io->size))
            return refuse("the size of extent " + std::to_string(i + 1) + " cannot be had");
        void* bfio = nullptr;
        if (failed(bfio_handle_initialize_(&bfio, io.get(), &ExtentIo::Free, &ExtentIo::Clone, &ExtentIo::Open,
                                           &ExtentIo::Close, &ExtentIo::Read, &ExtentIo::Write, &ExtentIo::Seek,
                                           &ExtentIo::Exists, &ExtentIo::IsOpen, &ExtentIo::GetSize, kIoNotManaged,
                                           &bfio_error) == 1))
            return refuse("libbfio_handle_initialize failed");
        if (failed(bfio_pool_set_handle_(pool_, static_cast<int>(i), bfio, kBfioRead, &bfio_error) == 1)) {
            bfio_handle_free_(&bfio, &bfio_error);
            failed(true);
            return refuse("libbfio_pool_set_handle failed");
        }
        extents_.push_back(std::move(io));
    }
    if (!Check(open_extent_pool_(handle_, pool_, error_slot()) == 1)) return refuse(error());
    return 1;
}

}  // namespace disk
