// libvmdk, the library we read VMDK images (a descriptor and its extent
// files, or one file holding both) with for conversion, bound at run time
// by name.
//
// The library never opens an extent by the name the descriptor gives: it
// would join that name to the descriptor's folder in its own way (keeping
// only the last component), past every check of ours. We open each extent
// file ourselves and hand the library the open files, which it reads
// through libbfio handles of our own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/bindings/image_library.h"
#include "platform/device/handle.h"

namespace disk {

// The kinds of extent, as the library numbers them.
enum class VmdkExtentType : int {
    Flat = 1,
    Sparse = 2,
    VmfsFlat = 3,
    VmfsSparse = 4,
    VmfsRaw = 5,
    VmfsRdm = 6,
    Zero = 7,
};

// One extent line of the open descriptor as the library read it.
struct VmdkLibraryExtent {
    int type = 0;             // a VmdkExtentType
    std::int64_t offset = 0;  // where the extent's data starts in its file, in bytes
    std::uint64_t size = 0;   // in bytes
    std::string file;         // the name as the library took it ("" for none)
};

class TLibVMDK : public ImageLibraryFile {
public:
    // Loads the library (and libbfio, through which it reads extents);
    // raises "could not find libvmdk.dll" when either (or one of the entry
    // points we call) is missing.
    explicit TLibVMDK(const std::string& library = "libvmdk.so.1", const std::string& bfio = "libbfio.so.1");
    ~TLibVMDK() override;

    // The extents of the open descriptor. Raises std::runtime_error with the
    // library's text when it cannot tell.
    std::vector<VmdkLibraryExtent> Extents();

    // Hands the library the extent files: files[i] is extent i's, an
    // invalid handle for an extent without a file (ZERO). They are kept,
    // and read, until the object goes. 1 on success, -1 otherwise (error()
    // says why).
    int OpenExtentDataFiles(std::vector<platform::Handle> files);

private:
    struct ExtentIo;
    using OpenPoolFn = int (*)(void* handle, void* pool, void** error);
    using ExtentCountFn = int (*)(void* handle, int* count, void** error);
    using ExtentDescriptorFn = int (*)(void* handle, int index, void** extent, void** error);
    using ExtentFreeFn = int (*)(void** extent, void** error);
    using ExtentTypeFn = int (*)(void* extent, int* type, void** error);
    using ExtentRangeFn = int (*)(void* extent, std::int64_t* offset, std::uint64_t* size, void** error);
    using ExtentNameSizeFn = int (*)(void* extent, std::size_t* size, void** error);
    using ExtentNameFn = int (*)(void* extent, std::uint8_t* name, std::size_t size, void** error);

    // libbfio: a handle over our own read calls, and a pool of them.
    using IoFn = int (*)(void* io, void** error);
    using IoCloneFn = int (*)(void** destination, void* source, void** error);
    using IoOpenFn = int (*)(void* io, int access_flags, void** error);
    using IoReadFn = long (*)(void* io, std::uint8_t* buffer, std::size_t size, void** error);
    using IoWriteFn = long (*)(void* io, const std::uint8_t* buffer, std::size_t size, void** error);
    using IoSeekFn = std::int64_t (*)(void* io, std::int64_t offset, int whence, void** error);
    using IoSizeFn = int (*)(void* io, std::uint64_t* size, void** error);
    using IoFreeFn = int (*)(void** io, void** error);
    using BfioHandleInitializeFn = int (*)(void** handle, void* io, IoFreeFn free_io, IoCloneFn clone_io,
                                           IoOpenFn open, IoFn close, IoReadFn read, IoWriteFn write,
                                           IoSeekFn seek, IoFn exists, IoFn is_open, IoSizeFn get_size,
                                           std::uint8_t flags, void** error);
    using BfioHandleFreeFn = int (*)(void** handle, void** error);
    using BfioPoolInitializeFn = int (*)(void** pool, int handles, int most_open, void** error);
    using BfioPoolSetHandleFn = int (*)(void* pool, int entry, void* handle, int access_flags, void** error);
    using BfioPoolFreeFn = int (*)(void** pool, void** error);
    using BfioErrorFreeFn = void (*)(void** error);

    // Frees the pool once the library has let go of it.
    void FreePool();

    OpenPoolFn open_extent_pool_ = nullptr;
    ExtentCountFn extent_count_ = nullptr;
    ExtentDescriptorFn extent_descriptor_ = nullptr;
    ExtentFreeFn extent_free_ = nullptr;
    ExtentTypeFn extent_type_ = nullptr;
    ExtentRangeFn extent_range_ = nullptr;
    ExtentNameSizeFn extent_name_size_ = nullptr;
    ExtentNameFn extent_name_ = nullptr;

    platform::SharedLibrary bfio_;
    BfioHandleInitializeFn bfio_handle_initialize_ = nullptr;
    BfioHandleFreeFn bfio_handle_free_ = nullptr;
    BfioPoolInitializeFn bfio_pool_initialize_ = nullptr;
    BfioPoolSetHandleFn bfio_pool_set_handle_ = nullptr;
    BfioPoolFreeFn bfio_pool_free_ = nullptr;
    BfioErrorFreeFn bfio_error_free_ = nullptr;

    std::vector<std::unique_ptr<ExtentIo>> extents_;  // outlive the pool that reads them
    void* pool_ = nullptr;
};

}  // namespace disk
