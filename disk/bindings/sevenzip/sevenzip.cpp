#include "disk/bindings/sevenzip/sevenzip.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "disk/bindings/sevenzip/item_path.h"
#include "platform/base/ascii.h"
#include "platform/base/win_error.h"
#include "platform/os/shared_library.h"

namespace disk::sevenzip {

using CreateObjectFn = HRESULT (*)(const GUID* class_id, const GUID* interface_id, void** object);
using GetHandlerPropertyFn = HRESULT (*)(PROPID id, PROPVARIANT* value);
using GetModulePropFn = HRESULT (*)(PROPID id, PROPVARIANT* value);

struct SevenZipModule {
    platform::SharedLibrary library;
    CreateObjectFn create_object = nullptr;
    GetHandlerPropertyFn get_handler_property = nullptr;
    TableLayout layout = TableLayout::Plain;
};

namespace {

// ---- our side of the interfaces ---------------------------------------------

// One interface of one of our objects: the table the library calls through
// and the object it belongs to. The library's `this` is the facet.
struct Facet {
    const void* const* table;
    void* owner;
};

// The function tables of an interface in both layouts.
class Tables {
public:
    Tables(void* query, void* add_ref, void* release, std::initializer_list<void*> methods) {
        plain_ = {query, add_ref, release};
        with_destructors_ = {query, add_ref, release, reinterpret_cast<void*>(&NoDestructor),
                             reinterpret_cast<void*>(&NoDestructor)};
        plain_.insert(plain_.end(), methods);
        with_destructors_.insert(with_destructors_.end(), methods);
    }
    const void* const* get(TableLayout layout) const {
        return layout == TableLayout::Plain ? plain_.data() : with_destructors_.data();
    }

private:
    // Our objects end through Release alone; the library never calls these.
    static void NoDestructor(Facet*) {}
    std::vector<void*> plain_, with_destructors_;
};

template <class Fn>
void* Slot(Fn function) {
    return reinterpret_cast<void*>(function);
}

// AddRef and Release of our objects: every facet counts on its owner, which
// goes with its last reference.
template <class Object>
struct Counted {
    static std::uint32_t AddRef(Facet* self) { return ++static_cast<Object*>(self->owner)->references; }
    static std::uint32_t Release(Facet* self) {
        auto* object = static_cast<Object*>(self->owner);
        std::uint32_t left = --object->references;
        if (left == 0) delete object;
        return left;
    }
};

// A stream of ours as the library sees it.
class T7zStream {
public:
    static T7zStream* Create(ByteStream* stream, std::unique_ptr<ByteStream> owned, TableLayout layout) {
        return new T7zStream(stream, std::move(owned), layout);
    }
    void* in() { return &in_; }
    void* out() { return &out_; }
    void Release() {
        if (--references == 0) delete this;
    }

private:
    friend struct Counted<T7zStream>;

    T7zStream(ByteStream* stream, std::unique_ptr<ByteStream> owned, TableLayout layout)
        : stream_(stream ? stream : owned.get()), owned_(std::move(owned)) {
        using Count = Counted<T7zStream>;
        static const Tables in_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                      {Slot(&Read), Slot(&Seek)});
        static const Tables out_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                       {Slot(&Write), Slot(&Seek), Slot(&SetSize)});
        static const Tables size_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                        {Slot(&GetSize)});
        in_ = {in_tables.get(layout), this};
        out_ = {out_tables.get(layout), this};
        size_ = {size_tables.get(layout), this};
    }

    static T7zStream& Of(Facet* facet) { return *static_cast<T7zStream*>(facet->owner); }

    static HRESULT QueryInterface(Facet* self, const GUID* iid, void** out) {
        T7zStream& stream = Of(self);
        if (*iid == IID_IUnknown || *iid == IID_ISequentialInStream || *iid == IID_IInStream) *out = &stream.in_;
        else if (*iid == IID_ISequentialOutStream || *iid == IID_IOutStream) *out = &stream.out_;
        else if (*iid == IID_IStreamGetSize) *out = &stream.size_;
        else return *out = nullptr, E_NOINTERFACE;
        ++stream.references;
        return S_OK;
    }
    static HRESULT Read(Facet* self, void* data, std::uint32_t size, std::uint32_t* processed) {
        std::size_t done = 0;
        bool ok = Of(self).stream_->read(data, size, done);
        if (processed) *processed = static_cast<std::uint32_t>(done);
        return ok ? S_OK : HResultFromWin32(platform::GetLastError());
    }
    static HRESULT Write(Facet* self, const void* data, std::uint32_t size, std::uint32_t* processed) {
        std::size_t done = 0;
        bool ok = Of(self).stream_->write(data, size, done);
        if (processed) *processed = static_cast<std::uint32_t>(done);
        if (ok && done == size) return S_OK;
        // A short write is a failure: the item is not what the archive holds.
        platform::DWORD error = ok ? platform::ERROR_DISK_FULL : platform::GetLastError();
        return HResultFromWin32(error ? error : platform::ERROR_WRITE_FAULT);
    }
    static HRESULT Seek(Facet* self, std::int64_t offset, std::uint32_t origin, std::uint64_t* position) {
        std::int64_t at = 0;
        if (origin > 2 || !Of(self).stream_->seek(offset, static_cast<int>(origin), at)) return STG_E_INVALIDFUNCTION;
        if (position) *position = static_cast<std::uint64_t>(at);
        return S_OK;
    }
    static HRESULT SetSize(Facet* self, std::uint64_t size) {
        return Of(self).stream_->set_size(static_cast<std::int64_t>(size)) ? S_OK
                                                                            : HResultFromWin32(platform::GetLastError());
    }
    static HRESULT GetSize(Facet* self, std::uint64_t* size) {
        std::int64_t bytes = Of(self).stream_->size();
        if (bytes < 0) return E_FAIL;
        *size = static_cast<std::uint64_t>(bytes);
        return S_OK;
    }

    Facet in_{}, out_{}, size_{};
    std::atomic<std::uint32_t> references{1};
    ByteStream* stream_;
    std::unique_ptr<ByteStream> owned_;
};

}  // namespace

// The archive's callbacks live as long as the library holds them, which
// may be longer than the archive object: they reach the archive only while
// it is there.
struct T7zInArchive::Callbacks {
    Facet extract{}, open{}, password{}, sub_archive{};
    std::atomic<std::uint32_t> references{1};
    T7zInArchive* owner;

    Callbacks(T7zInArchive* archive, TableLayout layout) : owner(archive) {
        using Count = Counted<Callbacks>;
        static const Tables extract_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                           {Slot(&SetTotal), Slot(&SetCompleted), Slot(&GetStream),
                                            Slot(&PrepareOperation), Slot(&SetOperationResult)});
        static const Tables open_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                        {Slot(&OpenSetTotal), Slot(&OpenSetCompleted)});
        static const Tables password_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                            {Slot(&CryptoGetTextPassword)});
        static const Tables sub_archive_tables(Slot(&QueryInterface), Slot(&Count::AddRef), Slot(&Count::Release),
                                               {Slot(&SetSubArchiveName)});
        extract = {extract_tables.get(layout), this};
        open = {open_tables.get(layout), this};
        password = {password_tables.get(layout), this};
        sub_archive = {sub_archive_tables.get(layout), this};
    }

    void Drop() {
        if (--references == 0) delete this;
    }

    static Callbacks& Of(Facet* facet) { return *static_cast<Callbacks*>(facet->owner); }

    static HRESULT QueryInterface(Facet* self, const GUID* iid, void** out) {
        Callbacks& c = Of(self);
        if (*iid == IID_IUnknown) *out = self;
        else if (*iid == IID_IArchiveExtractCallback || *iid == IID_IProgress) *out = &c.extract;
        else if (*iid == IID_IArchiveOpenCallback) *out = &c.open;
        else if (*iid == IID_ICryptoGetTextPassword) *out = &c.password;
        else if (*iid == IID_IArchiveOpenSetSubArchiveName) *out = &c.sub_archive;
        else return *out = nullptr, E_NOINTERFACE;
        ++c.references;
        return S_OK;
    }

    // Nothing of ours may unwind through the library's frames.
    template <class Body>
    static HRESULT Guarded(Facet* self, Body body) {
        T7zInArchive* archive = Of(self).owner;
        if (!archive) return E_ABORT;
        try {
            return body(*archive);
        } catch (const std::exception& e) {
            archive->failures_.push_back(e.what());
            return E_FAIL;
        } catch (...) {
            return E_FAIL;
        }
    }

    static HRESULT SetTotal(Facet* self, std::uint64_t total) {
        return Guarded(self, [&](T7zInArchive& a) { return a.progress_ ? a.progress_(true, total) : S_OK; });
    }
    static HRESULT SetCompleted(Facet* self, const std::uint64_t* value) {
        return Guarded(self, [&](T7zInArchive& a) { return a.progress_ && value ? a.progress_(false, *value) : S_OK; });
    }
    static HRESULT GetStream(Facet* self, std::uint32_t index, void** out, std::int32_t ask_mode) {
        if (out) *out = nullptr;
        return Guarded(self, [&](T7zInArchive& a) { return a.GetStream(index, out, ask_mode); });
    }
    static HRESULT PrepareOperation(Facet*, std::int32_t) { return S_OK; }
    static HRESULT SetOperationResult(Facet* self, std::int32_t result) {
        return Guarded(self, [&](T7zInArchive& a) {
            a.SetOperationResult(result);
            return S_OK;
        });
    }
    static HRESULT OpenSetTotal(Facet*, const std::uint64_t*, const std::uint64_t*) { return S_OK; }
    static HRESULT OpenSetCompleted(Facet*, const std::uint64_t*, const std::uint64_t*) { return S_OK; }
    static HRESULT CryptoGetTextPassword(Facet* self, BSTR* password) {
        if (password) *password = nullptr;
        return Guarded(self, [&](T7zInArchive& a) -> HRESULT {
            if (!a.password_defined_) {
                if (!a.password_callback_) return S_FALSE;
                std::string typed;
                HRESULT result = a.password_callback_(typed);
                if (result != S_OK) return result;
                a.SetPassword(typed);
            }
            *password = SysAllocString(Utf8ToWide(a.password_));
            return *password ? S_OK : E_OUTOFMEMORY;
        });
    }
    static HRESULT SetSubArchiveName(Facet* self, const wchar_t* name) {
        return Guarded(self, [&](T7zInArchive& a) {
            a.sub_archive_mode_ = true;
            a.sub_archive_name_ = WideToUtf8(name);
            return S_OK;
        });
    }
};

// ---- streams of the program --------------------------------------------------

std::unique_ptr<FileStream> FileStream::OpenRead(const std::string& path) {
    platform::Handle handle =
        platform::CreateFile(path, platform::GENERIC_READ, platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                             platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
    if (!handle)
        throw std::runtime_error("Cannot open file \"" + path + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    return std::make_unique<FileStream>(std::move(handle));
}

std::unique_ptr<FileStream> FileStream::Create(const std::string& path) {
    platform::Handle handle = platform::CreateFile(path, platform::GENERIC_READ | platform::GENERIC_WRITE, 0,
                                                   platform::CREATE_ALWAYS, 0);
    if (!handle)
        throw std::runtime_error("Cannot create file \"" + path + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    return std::make_unique<FileStream>(std::move(handle));
}

bool FileStream::read(void* buffer, std::size_t size, std::size_t& done) {
    done = 0;
    if (!platform::ReadAt(handle_, position_, buffer, size, &done)) return false;
    position_ += static_cast<std::int64_t>(done);
    return true;
}

bool FileStream::write(const void* buffer, std::size_t size, std::size_t& done) {
    done = 0;
    bool ok = platform::WriteAt(handle_, position_, buffer, size, &done);
    position_ += static_cast<std::int64_t>(done);
    return ok;
}

bool FileStream::seek(std::int64_t offset, int origin, std::int64_t& position) {
    std::int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : size();
    if (base < 0 || base + offset < 0) return platform::SetLastError(platform::ERROR_NEGATIVE_SEEK), false;
    position = position_ = base + offset;
    return true;
}

bool FileStream::set_size(std::int64_t size) {
    std::int64_t end = size;
    return platform::SetFileInformationByHandle(handle_, platform::FileEndOfFileInfo, &end, sizeof end);
}

std::int64_t FileStream::size() {
    std::int64_t bytes = -1;
    return platform::GetFileSizeEx(handle_, &bytes) ? bytes : -1;
}

// ---- the library -------------------------------------------------------------

T7zPlugin::T7zPlugin(const std::string& library_path) : module_(std::make_shared<SevenZipModule>()) {
    module_->library = platform::SharedLibrary(library_path);
    if (!module_->library) throw std::runtime_error("Error loading library " + library_path);
    if (module_->library.bind({{module_->create_object, "CreateObject"}}))
        throw std::runtime_error(library_path + " is not a 7z library");
    // Builds for this system say whether their interfaces carry virtual
    // destructors; older ones, which cannot say, all did.
    GetModulePropFn get_module_prop = nullptr;
    module_->layout = TableLayout::WithDestructors;
    if (!module_->library.bind({{get_module_prop, "GetModuleProp"}})) {
        ScopedPropVariant type;
        if (get_module_prop(0, &type.value) == S_OK && type.value.vt == VT_UI4)
            module_->layout = type.value.ulVal == 0 ? TableLayout::Plain : TableLayout::WithDestructors;
    }
}

T7zPlugin::~T7zPlugin() = default;

void* T7zPlugin::CreateObject(const GUID& class_id, const GUID& interface_id) const {
    void* object = nullptr;
    HRESULT result = module_->create_object(&class_id, &interface_id, &object);
    if (result != S_OK || !object) throw std::runtime_error(HResultText(result != S_OK ? result : E_NOINTERFACE));
    return object;
}

T7zArchive::T7zArchive(const std::string& library_path) : T7zPlugin(library_path) {
    if (module_->library.bind({{module_->get_handler_property, "GetHandlerProperty"}}))
        throw std::runtime_error(library_path + " is not a Format library");
}

LibraryObject::LibraryObject(void* object, std::shared_ptr<SevenZipModule> module)
    : object_(object), module_(std::move(module)) {}

LibraryObject::~LibraryObject() { reset(); }

LibraryObject::LibraryObject(LibraryObject&& other) noexcept
    : object_(std::exchange(other.object_, nullptr)), module_(std::move(other.module_)) {}

LibraryObject& LibraryObject::operator=(LibraryObject&& other) noexcept {
    if (this != &other) {
        reset();
        object_ = std::exchange(other.object_, nullptr);
        module_ = std::move(other.module_);
    }
    return *this;
}

void* LibraryObject::method(int index) const {
    return (*static_cast<void* const* const*>(object_))[FirstMethodSlot(module_->layout) + index];
}

void LibraryObject::reset() {
    if (object_) {
        auto release = reinterpret_cast<std::uint32_t (*)(void*)>((*static_cast<void* const* const*>(object_))[2]);
        release(object_);
        object_ = nullptr;
    }
    module_.reset();  // the library goes only after its last object
}

namespace {

// IInArchive's methods, in table order after IUnknown's.
enum InArchiveMethod { kOpen = 0, kClose, kGetNumberOfItems, kGetProperty, kExtract };

enum : PROPID { kpidPath = 3, kpidName = 4, kpidIsDir = 6, kpidSize = 7 };

void Check(HRESULT result) {
    if (result != S_OK) throw std::runtime_error(HResultText(result));
}

std::string PropertyText(const PROPVARIANT& value) { return value.vt == VT_BSTR ? WideToUtf8(value.bstrVal) : ""; }

}  // namespace

T7zInArchive::T7zInArchive(const std::string& library_path)
    : T7zArchive(library_path), callbacks_(new Callbacks(this, module_->layout)) {}

T7zInArchive::~T7zInArchive() {
    try {
        Close();
    } catch (...) {
    }
    callbacks_->owner = nullptr;
    callbacks_.release()->Drop();
}

void T7zInArchive::OpenFile(const std::string& file_name) {
    archive_name_ = file_name;
    OpenStream(FileStream::OpenRead(file_name), file_name);
}

void T7zInArchive::OpenStream(std::unique_ptr<ByteStream> stream, const std::string& name) {
    archive_name_ = name;
    if (!archive_) archive_ = LibraryObject(CreateObject(class_id_, IID_IInArchive), module_);
    ByteStream* raw = stream.get();
    T7zStream* adapter = T7zStream::Create(raw, std::move(stream), module_->layout);
    const std::uint64_t max_check_start = 1 << 20;
    auto open_archive =
        reinterpret_cast<HRESULT (*)(void*, void*, const std::uint64_t*, void*)>(archive_.method(kOpen));
    HRESULT result = open_archive(archive_.get(), adapter->in(), &max_check_start, &callbacks_->open);
    adapter->Release();  // the library keeps its own reference while it needs the stream
    // S_FALSE (1) is the library's "not an archive of this kind", which as
    // a system code would read "Incorrect function".
    if (result == S_FALSE)
        throw std::runtime_error(name + ": cannot be opened: it is not an archive of this kind, or it is damaged");
    if (result != S_OK) throw std::runtime_error(name + ": cannot be opened: " + HResultText(result));
}

void T7zInArchive::SetPassword(const std::string& password) {
    password_ = password;
    password_defined_ = !password.empty();
}

std::uint32_t T7zInArchive::NumberOfItems() {
    if (!archive_) throw std::runtime_error(HResultText(E_FAIL));
    std::uint32_t count = 0;
    Check(reinterpret_cast<HRESULT (*)(void*, std::uint32_t*)>(archive_.method(kGetNumberOfItems))(archive_.get(), &count));
    return count;
}

void T7zInArchive::GetProperty(std::uint32_t index, PROPID id, ScopedPropVariant& value) {
    if (!archive_) throw std::runtime_error(HResultText(E_FAIL));
    PropVariantClear(value.value);
    Check(reinterpret_cast<HRESULT (*)(void*, std::uint32_t, PROPID, PROPVARIANT*)>(archive_.method(kGetProperty))(
        archive_.get(), index, id, &value.value));
}

std::string T7zInArchive::ItemPath(std::uint32_t index) {
    ScopedPropVariant value;
    GetProperty(index, kpidPath, value);
    return PropertyText(value.value);
}

std::string T7zInArchive::ItemName(std::uint32_t index) {
    ScopedPropVariant value;
    GetProperty(index, kpidName, value);
    return PropertyText(value.value);
}

bool T7zInArchive::ItemIsFolder(std::uint32_t index) {
    ScopedPropVariant value;
    GetProperty(index, kpidIsDir, value);
    return value.value.vt == VT_BOOL && value.value.boolVal != 0;
}

std::uint64_t T7zInArchive::ItemSize(std::uint32_t index) {
    ScopedPropVariant value;
    GetProperty(index, kpidSize, value);
    switch (value.value.vt) {
    case VT_UI8: return value.value.uhVal;
    case VT_UI4: return value.value.ulVal;
    default: return 0;
    }
}

std::string T7zInArchive::DisplayPath(std::uint32_t index) {
    std::string path = ItemPath(index);
    return path.empty() ? UnnamedItemName(archive_name_) : path;
}

void T7zInArchive::Extract(const std::uint32_t* indices, std::uint32_t count, bool test) {
    if (!archive_) throw std::runtime_error(HResultText(E_FAIL));
    failures_.clear();
    current_.reset();
    unnamed_taken_ = false;
    auto extract = reinterpret_cast<HRESULT (*)(void*, const std::uint32_t*, std::uint32_t, std::int32_t, void*)>(
        archive_.method(kExtract));
    HRESULT result = extract(archive_.get(), indices, count, test ? 1 : 0, &callbacks_->extract);
    if (result != S_OK) {
        // The item being written when the library gave up is not whole.
        if (current_ && target_) target_->RemoveFileBelow(*current_);
        current_.reset();
        std::string text = HResultText(result);
        if (!failures_.empty()) text += ": " + failures_.front();
        throw std::runtime_error(text);
    }
    if (!failures_.empty()) {
        std::string text = "Not extracted: ";
        for (std::size_t i = 0; i < failures_.size() && i < 10; ++i) text += (i ? "; " : "") + failures_[i];
        if (failures_.size() > 10) text += "; and " + std::to_string(failures_.size() - 10) + " more";
        throw std::runtime_error(text);
    }
}

void T7zInArchive::ExtractItem(std::uint32_t index, ByteStream& stream, bool test) {
    single_stream_ = &stream;
    try {
        Extract(&index, 1, test);
    } catch (...) {
        single_stream_ = nullptr;
        throw;
    }
    single_stream_ = nullptr;
}

void T7zInArchive::ExtractItems(const std::vector<std::uint32_t>& indices, bool test) {
    Extract(indices.data(), static_cast<std::uint32_t>(indices.size()), test);
}

std::vector<std::uint32_t> T7zInArchive::AllItems() {
    std::vector<std::uint32_t> indices(NumberOfItems());
    for (std::uint32_t i = 0; i < indices.size(); ++i) indices[i] = i;
    return indices;
}

void T7zInArchive::ExtractAll(bool test) { ExtractItems(AllItems(), test); }

void T7zInArchive::ExtractTo(const std::string& folder) {
    platform::ConfinedFolder target = platform::ConfinedFolder::Open(folder);
    if (!target)
        throw std::runtime_error("Cannot open folder \"" + folder + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    target_ = std::move(target);
    try {
        ExtractAll(false);
    } catch (...) {
        target_.reset();
        throw;
    }
    target_.reset();
}

HRESULT T7zInArchive::GetStream(std::uint32_t index, void** out_stream, std::int32_t ask_mode) {
    current_.reset();
    current_index_ = index;
    if (ask_mode != 0) return S_OK;
    if (single_stream_) {
        *out_stream = T7zStream::Create(single_stream_, nullptr, module_->layout)->out();
        return S_OK;
    }
    if (user_extract_) {
        std::unique_ptr<ByteStream> stream = user_extract_(index);
        if (stream) {
            ByteStream* raw = stream.get();
            *out_stream = T7zStream::Create(raw, std::move(stream), module_->layout)->out();
        }
        return S_OK;
    }
    if (!target_) return S_OK;
    const std::string path = ItemPath(index);
    std::optional<std::vector<std::string>> names;
    if (path.empty()) {
        std::string name = UnnamedItemName(archive_name_);
        if (unnamed_taken_) name += "_" + std::to_string(index);
        unnamed_taken_ = true;
        names = std::vector<std::string>{name};
    } else {
        names = ConfinedItemPath(path);
    }
    if (!names && ItemIsFolder(index) && NamesTheTargetItself(path)) return S_OK;
    if (!names) {
        failures_.push_back(path + " (its path leads outside the target folder)");
        return S_OK;
    }
    if (ItemIsFolder(index)) {
        if (!target_->CreateFoldersBelow(*names))
            failures_.push_back(path + " (" + platform::SysErrorMessage(platform::GetLastError()) + ")");
        return S_OK;
    }
    platform::Handle file = target_->CreateFileBelow(*names);
    if (!file) {
        failures_.push_back(path + " (" + platform::SysErrorMessage(platform::GetLastError()) + ")");
        return S_OK;
    }
    current_ = std::move(names);
    *out_stream = T7zStream::Create(nullptr, std::make_unique<FileStream>(std::move(file)), module_->layout)->out();
    return S_OK;
}

void T7zInArchive::SetOperationResult(std::int32_t result) {
    if (result != 0) {
        std::string path;
        try {
            path = ItemPath(current_index_);
        } catch (const std::exception&) {
        }
        failures_.push_back((path.empty() ? "item " + std::to_string(current_index_) : path) + " (" +
                            OperationResultText(result) + ")");
        if (current_ && target_) target_->RemoveFileBelow(*current_);
    }
    current_.reset();
}

void T7zInArchive::Close() {
    password_defined_ = false;
    sub_archive_mode_ = false;
    if (!archive_) return;
    HRESULT result = reinterpret_cast<HRESULT (*)(void*)>(archive_.method(kClose))(archive_.get());
    archive_.reset();
    Check(result);
}

std::unique_ptr<T7zInArchive> Create7zInArchive(const GUID& class_id, const std::string& library_path) {
    auto archive = std::make_unique<T7zInArchive>(library_path);
    archive->SetClassId(class_id);
    return archive;
}

GUID ClassIdOfExtension(const std::string& file_name) {
    static const std::pair<const char*, std::uint8_t> kFormats[] = {
        {".iso", 0xE7}, {".zip", 0x01}, {".7z", 0x07},  {".cab", 0x08},  {".wim", 0xE6},  {".squashfs", 0xD2},
        {".bz2", 0x02}, {".rar", 0x03}, {".z", 0x05},   {".lzh", 0x06},  {".bkf", 0xE8},  {".gz", 0xEF},
        {".split", 0xEA}, {".tar", 0xEE}, {".ova", 0xEE}, {".vmdk", 0xC8}, {".vdi", 0xC9}, {".qcow", 0xCA},
    };
    auto slash = file_name.find_last_of("/\\");
    auto dot = file_name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return GUID{};
    const std::string extension = platform::ToLower(file_name.substr(dot));
    for (const auto& [name, format] : kFormats)
        if (extension == name) return SevenZipHandler(format);
    return GUID{};
}

std::string OperationResultText(std::int32_t result) {
    switch (result) {
    case 1: return "unsupported method";
    case 2: return "data error";
    case 3: return "CRC error";
    case 4: return "unavailable data";
    case 5: return "unexpected end of data";
    case 6: return "data after the end";
    case 7: return "not an archive";
    case 8: return "headers error";
    case 9: return "wrong password";
    default: return "error " + std::to_string(result);
    }
}

}  // namespace disk::sevenzip
