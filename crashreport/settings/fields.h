// The reporter's two small thread-safe lists: the named fields (the bug
// report's header items, the custom fields of an upload, the form cache)
// and the files sent with a report. Either can be bound to an owner that
// is told of every change (the settings then store the list in their
// "AddFields" / "AddAttachs" key, an exception rebuilds its report).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace crashreport {

class FieldsOwner {
public:
    virtual ~FieldsOwner() = default;
    virtual void FieldsChanged(const std::string& serialised) = 0;
    virtual void BeginFieldsUpdate() {}
    virtual void EndFieldsUpdate() {}
};

class TIZEFields;
using IZEFields = std::shared_ptr<TIZEFields>;

class TIZEFields {
public:
    explicit TIZEFields(bool accept_data = false) : accept_data_(accept_data) {}

    // Brackets a group of reads or writes; also an update of the bound owner.
    void Lock();
    void Unlock();
    // Until this is called every change is ignored.
    void AcceptData() { accept_data_ = true; }
    void Bind(FieldsOwner* owner);

    int Count() const;
    std::string Name(int index) const;
    std::string Content(int index) const;
    void SetName(int index, const std::string& name);
    // Case-insensitive; -1 when absent.
    int Find(const std::string& name) const;
    std::string Get(const std::string& name) const;
    // Trimmed; an empty content removes the item.
    void Set(const std::string& name, const std::string& content);
    void Add(const std::string& name, const std::string& content) { Set(name, content); }
    void Insert(int index, const std::string& name, const std::string& content);
    void Delete(int index);
    void DeleteByName(const std::string& name);
    // Where new items go (0: at the end).
    void SetInsertIndex(int index);
    int insert_index() const;
    IZEFields Clone() const;
    std::vector<std::pair<std::string, std::string>> Items() const;
    // "name=content|name=content".
    std::string Serialise() const;
    void LoadSerialised(const std::string& text);

private:
    void InsertLocked(int index, const std::string& name, const std::string& content);
    void DeleteLocked(int index);
    void Modified();

    mutable std::recursive_mutex lock_;
    std::vector<std::pair<std::string, std::string>> items_;
    int insert_index_ = 0;
    bool accept_data_ = false;
    FieldsOwner* owner_ = nullptr;
    bool changed_ = false;
    int lock_depth_ = 0;
};

struct AttachmentItem {
    std::u16string file;
    std::string send_as;
    std::string zip_name;
    std::string field_name;
};

class TIZEAttachments;
using IZEAttachments = std::shared_ptr<TIZEAttachments>;

class TIZEAttachments {
public:
    void Bind(FieldsOwner* owner);
    int Count() const;
    bool Get(int index, AttachmentItem& item) const;
    // An empty file is ignored; send-as defaults to the file's name, the
    // field to the send-as name without its extension.
    void Add(const std::u16string& file, const std::string& send_as = {}, const std::string& zip_name = {},
             const std::string& field_name = {});
    bool Delete(const std::u16string& file);
    void Clear();
    IZEAttachments Clone() const;
    std::vector<AttachmentItem> Items() const;
    // "file>send-as>zip>field|...".
    std::string Serialise() const;
    void LoadSerialised(const std::string& text);

private:
    void Modified();

    mutable std::mutex lock_;
    std::vector<AttachmentItem> items_;
    FieldsOwner* owner_ = nullptr;
};

}  // namespace crashreport
