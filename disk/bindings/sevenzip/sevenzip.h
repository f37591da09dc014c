// 7-Zip's format library (/usr/lib/p7zip/7z.so), loaded at run time and
// spoken to through its published plug-in interfaces: archives and disk
// images (ISO, ZIP, 7z, CAB, WIM, SquashFS, TAR, VMDK, VDI, QCOW and
// others) are listed and extracted. T7zPlugin loads the library, T7zArchive
// adds the handler of one format, T7zInArchive opens an archive and is the
// library's callback object, T7zStream adapts the program's own streams.
// The library stays loaded while any object made by it lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/bindings/sevenzip/com.h"
#include "platform/device/confined_folder.h"
#include "platform/device/handle.h"

namespace platform {
class SharedLibrary;
}

namespace disk::sevenzip {

// Where 7-Zip's format library is on this system.
constexpr const char* kSevenZipLibrary = "/usr/lib/p7zip/7z.so";

// The program's own streams, as the library reads and writes them.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // False with the last error set on failure.
    virtual bool read(void* buffer, std::size_t size, std::size_t& done) = 0;
    virtual bool write(const void* buffer, std::size_t size, std::size_t& done) = 0;
    // origin: 0 from the start, 1 from here, 2 from the end.
    virtual bool seek(std::int64_t offset, int origin, std::int64_t& position) = 0;
    virtual bool set_size(std::int64_t size) = 0;
    virtual std::int64_t size() = 0;
};

// A file as a stream.
class FileStream : public ByteStream {
public:
    explicit FileStream(platform::Handle handle) : handle_(std::move(handle)) {}
    // Read-only, shared with everyone; raises std::runtime_error when it cannot be opened.
    static std::unique_ptr<FileStream> OpenRead(const std::string& path);
    // Created anew (emptied when there); raises std::runtime_error when it cannot be made.
    static std::unique_ptr<FileStream> Create(const std::string& path);

    bool read(void* buffer, std::size_t size, std::size_t& done) override;
    bool write(const void* buffer, std::size_t size, std::size_t& done) override;
    bool seek(std::int64_t offset, int origin, std::int64_t& position) override;
    bool set_size(std::int64_t size) override;
    std::int64_t size() override;
    // Closes now; false when written data could not be stored.
    bool close() { return handle_.close(); }

private:
    platform::Handle handle_;
    std::int64_t position_ = 0;
};

// The loaded library and what its objects need to be called.
struct SevenZipModule;

class T7zPlugin {
public:
    // Loads the library; raises "Error loading library <path>", or
    // "<path> is not a 7z library" when it lacks CreateObject.
    explicit T7zPlugin(const std::string& library_path);
    virtual ~T7zPlugin();

    // CreateObject; a failing result raises its system text.
    void* CreateObject(const GUID& class_id, const GUID& interface_id) const;
    const std::shared_ptr<SevenZipModule>& module() const { return module_; }

protected:
    std::shared_ptr<SevenZipModule> module_;
};

class T7zArchive : public T7zPlugin {
public:
    // Also needs GetHandlerProperty: "<path> is not a Format library".
    explicit T7zArchive(const std::string& library_path);
    const GUID& ClassId() const { return class_id_; }
    void SetClassId(const GUID& id) { class_id_ = id; }

protected:
    GUID class_id_{};
};

// An interface pointer of the library's, holding the library.
class LibraryObject {
public:
    LibraryObject() = default;
    LibraryObject(void* object, std::shared_ptr<SevenZipModule> module);
    ~LibraryObject();
    LibraryObject(LibraryObject&& other) noexcept;
    LibraryObject& operator=(LibraryObject&& other) noexcept;
    LibraryObject(const LibraryObject&) = delete;
    LibraryObject& operator=(const LibraryObject&) = delete;

    void* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // The address of method `index` of the interface (after IUnknown's).
    void* method(int index) const;
    void reset();

private:
    void* object_ = nullptr;
    std::shared_ptr<SevenZipModule> module_;
};

using ProgressCallback = std::function<HRESULT(bool is_total, std::uint64_t value)>;
using PasswordCallback = std::function<HRESULT(std::string& password)>;
// Hands the library a stream for item `index`, or nothing to skip it.
using ExtractCallback = std::function<std::unique_ptr<ByteStream>(std::uint32_t index)>;

class T7zInArchive : public T7zArchive {
public:
    explicit T7zInArchive(const std::string& library_path);
    ~T7zInArchive() override;

    void OpenFile(const std::string& file_name);
    void OpenStream(std::unique_ptr<ByteStream> stream, const std::string& name);
    void SetProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }
    void SetPasswordCallback(PasswordCallback callback) { password_callback_ = std::move(callback); }
    void SetPassword(const std::string& password);
    void SetExtractCallback(ExtractCallback callback) { user_extract_ = std::move(callback); }

    std::uint32_t NumberOfItems();
    std::string ItemPath(std::uint32_t index);
    std::string ItemName(std::uint32_t index);
    bool ItemIsFolder(std::uint32_t index);
    std::uint64_t ItemSize(std::uint32_t index);
    // The path an item is shown and written under: its own, or the
    // archive's name for an item without one.
    std::string DisplayPath(std::uint32_t index);

    // Extracts one item into `stream`. Raises when the library fails or the
    // item's data is damaged.
    void ExtractItem(std::uint32_t index, ByteStream& stream, bool test);
    void ExtractItems(const std::vector<std::uint32_t>& indices, bool test);
    // Every item the archive lists. They are named one by one: asked for
    // "all items", the ISO handler leaves out the boot images it lists.
    void ExtractAll(bool test);
    // Extracts every item below `folder`, which nothing written may leave;
    // raises naming the items that failed or were refused.
    void ExtractTo(const std::string& folder);
    void Close();

    // The library's callbacks, by interface.
    struct Callbacks;

private:
    friend struct Callbacks;
    void Extract(const std::uint32_t* indices, std::uint32_t count, bool test);
    std::vector<std::uint32_t> AllItems();
    void GetProperty(std::uint32_t index, PROPID id, ScopedPropVariant& value);
    // IArchiveExtractCallback.GetStream and SetOperationResult.
    HRESULT GetStream(std::uint32_t index, void** out_stream, std::int32_t ask_mode);
    void SetOperationResult(std::int32_t result);

    std::unique_ptr<Callbacks> callbacks_;
    LibraryObject archive_;
    std::string archive_name_;

    ProgressCallback progress_;
    PasswordCallback password_callback_;
    bool password_defined_ = false;
    std::string password_;
    bool sub_archive_mode_ = false;
    std::string sub_archive_name_;
    ExtractCallback user_extract_;
    ByteStream* single_stream_ = nullptr;

    // Extract-to.
    std::optional<platform::ConfinedFolder> target_;
    std::optional<std::vector<std::string>> current_;  // the item being written
    std::uint32_t current_index_ = 0;
    bool unnamed_taken_ = false;
    std::vector<std::string> failures_;
};

// Creates the archive object over `library_path` with `class_id`.
std::unique_ptr<T7zInArchive> Create7zInArchive(const GUID& class_id, const std::string& library_path);

// The handler of a file by its extension (lower case): ".iso" is E7,
// ".zip" 01 ...; the null GUID for any other.
GUID ClassIdOfExtension(const std::string& file_name);

// The text of an extraction result other than OK.
std::string OperationResultText(std::int32_t result);

}  // namespace disk::sevenzip
