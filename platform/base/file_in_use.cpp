#include "platform/base/file_in_use.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<FileInUseQuery> installed{nullptr};
}

void SetFileInUseQuery(FileInUseQuery query) { installed.store(query); }

bool FileInUseAsDisk(const std::string& path) {
    const FileInUseQuery query = installed.load();
    return query != nullptr && query(path);
}

}  // namespace platform
