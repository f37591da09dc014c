#include "crashreport/settings/fields.h"

#include <algorithm>

#include "crashreport/os/process_helpers.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

void TIZEFields::Lock() {
    lock_.lock();
    if (lock_depth_++ == 0 && owner_) owner_->BeginFieldsUpdate();
}

void TIZEFields::Unlock() {
    if (--lock_depth_ == 0 && owner_) owner_->EndFieldsUpdate();
    lock_.unlock();
}

void TIZEFields::Bind(FieldsOwner* owner) {
    std::lock_guard guard(lock_);
    owner_ = owner;
}

int TIZEFields::Count() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(items_.size());
}

std::string TIZEFields::Name(int index) const {
    std::lock_guard guard(lock_);
    return index >= 0 && index < static_cast<int>(items_.size()) ? items_[static_cast<std::size_t>(index)].first
                                                                  : std::string();
}

std::string TIZEFields::Content(int index) const {
    std::lock_guard guard(lock_);
    return index >= 0 && index < static_cast<int>(items_.size()) ? items_[static_cast<std::size_t>(index)].second
                                                                  : std::string();
}

void TIZEFields::SetName(int index, const std::string& name) {
    std::lock_guard guard(lock_);
    if (!accept_data_ || index < 0 || index >= static_cast<int>(items_.size())) return;
    if (items_[static_cast<std::size_t>(index)].first == name) return;
    items_[static_cast<std::size_t>(index)].first = name;
    Modified();
}

int TIZEFields::Find(const std::string& name) const {
    std::lock_guard guard(lock_);
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (SameTextLatin(items_[i].first, name)) return static_cast<int>(i);
    return -1;
}

std::string TIZEFields::Get(const std::string& name) const {
    std::lock_guard guard(lock_);
    const int i = Find(name);
    return i < 0 ? std::string() : items_[static_cast<std::size_t>(i)].second;
}

void TIZEFields::Set(const std::string& name, const std::string& content) {
    std::lock_guard guard(lock_);
    if (!accept_data_) return;
    const std::string trimmed = TrimmedCopy(content);
    const int i = Find(name);
    if (trimmed.empty()) {
        if (i >= 0) DeleteLocked(i);
        return;
    }
    if (i >= 0) {
        auto& item = items_[static_cast<std::size_t>(i)];
        if (item.first == name && item.second == trimmed) return;
        item = {name, trimmed};
        Modified();
        return;
    }
    InsertLocked(insert_index_ == 0 ? static_cast<int>(items_.size()) : insert_index_, name, trimmed);
}

void TIZEFields::Insert(int index, const std::string& name, const std::string& content) {
    std::lock_guard guard(lock_);
    const std::string trimmed = TrimmedCopy(content);
    if (!accept_data_ || trimmed.empty()) return;
    InsertLocked(index, name, trimmed);
}

void TIZEFields::InsertLocked(int index, const std::string& name, const std::string& content) {
    index = std::clamp(index, 0, static_cast<int>(items_.size()));
    const int existing = Find(name);
    if (existing >= 0) {
        if (existing == index && items_[static_cast<std::size_t>(existing)].second == content) return;
        // An item of that name elsewhere goes, so no name stands twice.
        items_.erase(items_.begin() + existing);
        if (insert_index_ > existing) --insert_index_;
        if (existing < index) --index;
    }
    items_.insert(items_.begin() + index, {name, content});
    if (insert_index_ != 0 && index <= insert_index_) ++insert_index_;
    Modified();
}

void TIZEFields::Delete(int index) {
    std::lock_guard guard(lock_);
    if (!accept_data_) return;
    DeleteLocked(index);
}

void TIZEFields::DeleteLocked(int index) {
    if (index < 0 || index >= static_cast<int>(items_.size())) return;
    items_.erase(items_.begin() + index);
    if (index < insert_index_) --insert_index_;
    Modified();
}

void TIZEFields::DeleteByName(const std::string& name) {
    std::lock_guard guard(lock_);
    if (!accept_data_) return;
    DeleteLocked(Find(name));
}

void TIZEFields::SetInsertIndex(int index) {
    std::lock_guard guard(lock_);
    insert_index_ = std::max(0, index);
}

int TIZEFields::insert_index() const {
    std::lock_guard guard(lock_);
    return insert_index_;
}

IZEFields TIZEFields::Clone() const {
    std::lock_guard guard(lock_);
    auto copy = std::make_shared<TIZEFields>(true);
    copy->items_ = items_;
    return copy;
}

std::vector<std::pair<std::string, std::string>> TIZEFields::Items() const {
    std::lock_guard guard(lock_);
    return items_;
}

std::string TIZEFields::Serialise() const {
    std::lock_guard guard(lock_);
    std::string text;
    for (const auto& [name, content] : items_) {
        if (!text.empty()) text += '|';
        text += name + '=' + content;
    }
    return text;
}

void TIZEFields::LoadSerialised(const std::string& text) {
    std::lock_guard guard(lock_);
    const bool accepting = accept_data_;
    accept_data_ = true;
    FieldsOwner* owner = std::exchange(owner_, nullptr);
    const int parts = text.empty() ? 0 : CountParts(text, '|');
    for (int i = 1; i <= parts; ++i) {
        const std::string part = GetPart(text, i, '|');
        const std::size_t eq = part.find('=');
        if (eq == std::string::npos) continue;
        Set(part.substr(0, eq), part.substr(eq + 1));
    }
    owner_ = owner;
    accept_data_ = accepting;
}

void TIZEFields::Modified() {
    if (owner_) owner_->FieldsChanged(Serialise());
}

void TIZEAttachments::Bind(FieldsOwner* owner) {
    std::lock_guard guard(lock_);
    owner_ = owner;
}

int TIZEAttachments::Count() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(items_.size());
}

bool TIZEAttachments::Get(int index, AttachmentItem& item) const {
    std::lock_guard guard(lock_);
    if (index < 0 || index >= static_cast<int>(items_.size())) return false;
    item = items_[static_cast<std::size_t>(index)];
    return true;
}

void TIZEAttachments::Add(const std::u16string& file, const std::string& send_as, const std::string& zip_name,
                          const std::string& field_name) {
    if (file.empty()) return;
    AttachmentItem item;
    item.file = file;
    item.send_as = send_as.empty() ? WideToUtf8Text(FileNameOfPathW(file)) : send_as;
    item.zip_name = zip_name;
    if (field_name.empty()) {
        const std::size_t dot = item.send_as.rfind('.');
        item.field_name = dot == std::string::npos ? item.send_as : item.send_as.substr(0, dot);
    } else {
        item.field_name = field_name;
    }
    std::lock_guard guard(lock_);
    items_.push_back(std::move(item));
    Modified();
}

bool TIZEAttachments::Delete(const std::u16string& file) {
    std::lock_guard guard(lock_);
    for (auto it = items_.begin(); it != items_.end(); ++it)
        if (SameTextWide(it->file, file)) {
            items_.erase(it);
            Modified();
            return true;
        }
    return false;
}

void TIZEAttachments::Clear() {
    std::lock_guard guard(lock_);
    items_.clear();
    Modified();
}

IZEAttachments TIZEAttachments::Clone() const {
    std::lock_guard guard(lock_);
    auto copy = std::make_shared<TIZEAttachments>();
    copy->items_ = items_;
    return copy;
}

std::vector<AttachmentItem> TIZEAttachments::Items() const {
    std::lock_guard guard(lock_);
    return items_;
}

std::string TIZEAttachments::Serialise() const {
    std::string text;
    for (const auto& item : items_) {
        if (!text.empty()) text += '|';
        text += WideToUtf8Text(item.file) + '>' + item.send_as + '>' + item.zip_name + '>' + item.field_name;
    }
    return text;
}

void TIZEAttachments::LoadSerialised(const std::string& text) {
    const int parts = text.empty() ? 0 : CountParts(text, '|');
    for (int i = 1; i <= parts; ++i) {
        const std::string part = GetPart(text, i, '|');
        Add(Utf8ToWideText(GetPart(part, 1, '>')), GetPart(part, 2, '>'), GetPart(part, 3, '>'),
            GetPart(part, 4, '>'));
    }
}

void TIZEAttachments::Modified() {
    if (owner_) owner_->FieldsChanged(Serialise());
}

}  // namespace crashreport
