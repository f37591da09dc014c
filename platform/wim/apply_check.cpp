#include "platform/wim/apply_check.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "platform/base/sha1.h"

namespace platform::wim {

namespace {

struct Walk {
    std::string target;
    std::vector<std::string> removed;
};

bool HasStoredBytes(const std::string& path, std::uint64_t size, const std::uint8_t* hash) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    Sha1 sha1;
    std::vector<char> buffer(1 << 20);
    std::uint64_t read = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        sha1.Update(buffer.data(), got);
        read += got;
        if (read > size) return false;
    }
    const Sha1::Digest digest = sha1.Final();
    return read == size && std::equal(digest.begin(), digest.end(), hash);
}

int Visit(const wimlib_dir_entry* entry, void* user) {
    auto& walk = *static_cast<Walk*>(user);
    if (entry->attributes & (WIMLIB_FILE_ATTRIBUTE_DIRECTORY | WIMLIB_FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
    const wimlib_resource_entry& data = entry->streams[0].resource;
    if (data.uncompressed_size == 0 || data.is_missing) return 0;
    const std::string path = walk.target + entry->full_path;
    if (HasStoredBytes(path, data.uncompressed_size, data.sha1_hash)) return 0;
    ::unlink(path.c_str());
    walk.removed.push_back(path);
    return 0;
}

}  // namespace

std::vector<std::string> RemoveFilesNotAsStored(const WimlibCalls& lib, WIMStruct* wim, int index,
                                                const std::string& target) {
    Walk walk{target, {}};
    if (!walk.target.empty() && walk.target.back() == '/') walk.target.pop_back();
    lib.iterate_dir_tree(wim, index, WIMLIB_WIM_ROOT_PATH, WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, &Visit, &walk);
    return walk.removed;
}

}  // namespace platform::wim
