// A registry hive file as the offline registry tools meet it on someone's
// disk: checked for damage, opened, every key walked and every value read in its text form, a
// key tree deleted deepest first, the hive saved and the saved file walked
// again. The input is the whole hive file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "disk/bindings/offreg.h"
#include "platform/base/wide_text.h"
#include "platform/offreg/hive_check.h"

namespace {

using namespace platform;
using namespace platform::offreg;

// Far more than a hive of a few KiB can hold without repeating itself.
constexpr int kMaxDepth = 64;
constexpr int kMaxKeys = 20000;

// Never destroyed: the folder is removed at exit through it.
const std::string& ScratchFolder() {
    static const std::string& path = *new std::string([] {
        std::random_device random;
        const auto folder = std::filesystem::temp_directory_path() /
                            ("tarnovell-hive-fuzz-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(folder);
        return folder.string();
    }());
    return path;
}

struct RemoveAtExit {
    ~RemoveAtExit() {
        std::error_code ignored;
        std::filesystem::remove_all(ScratchFolder(), ignored);
    }
} remove_at_exit;

const disk::OffregBinding& Api() {
    static const bool loaded = disk::LoadOffreg();
    (void)loaded;
    return disk::offreg();
}

std::string SubkeyName(ORHKEY key, DWORD index, DWORD& result) {
    char16_t name[256];
    DWORD size = 256;
    result = Api().OREnumKey.load()(key, index, name, &size, nullptr, nullptr, nullptr);
    return result == ERROR_SUCCESS ? Utf16ToUtf8(std::u16string_view(name, size)) : std::string();
}

void ReadValues(ORHKEY key) {
    for (DWORD index = 0; index < 256; ++index) {
        char16_t name[256];
        DWORD name_size = 256, type = 0, data_size = 0;
        const DWORD result = Api().OREnumValue.load()(key, index, name, &name_size, &type, nullptr, &data_size);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) return;
        if (result != ERROR_SUCCESS) continue;
        std::string text;
        try {
            disk::OffregGetValue(key, Utf16ToUtf8(std::u16string_view(name, name_size)), text);
        } catch (const std::exception&) {
        }
    }
}

void Walk(ORHKEY key, int depth, int& keys) {
    ReadValues(key);
    if (depth >= kMaxDepth) return;
    for (DWORD index = 0; keys < kMaxKeys; ++index, ++keys) {
        DWORD result = 0;
        const std::string name = SubkeyName(key, index, result);
        if (result != ERROR_SUCCESS) return;
        ORHKEY child = nullptr;
        if (Api().OROpenKey.load()(key, Utf8ToUtf16(name).c_str(), &child) != ERROR_SUCCESS) continue;
        Walk(child, depth + 1, keys);
        Api().ORCloseKey.load()(child);
    }
}

// Deepest first, always the first subkey, as the device-tree repair does.
bool DeleteBelow(ORHKEY key, int depth, int& steps) {
    if (depth >= kMaxDepth) return false;
    while (steps++ < kMaxKeys) {
        DWORD result = 0;
        const std::string name = SubkeyName(key, 0, result);
        if (result == ERROR_NO_MORE_ITEMS) return true;
        if (result != ERROR_SUCCESS) return false;
        ORHKEY child = nullptr;
        if (Api().OROpenKey.load()(key, Utf8ToUtf16(name).c_str(), &child) != ERROR_SUCCESS) return false;
        const bool emptied = DeleteBelow(child, depth + 1, steps);
        Api().ORCloseKey.load()(child);
        if (!emptied || Api().ORDeleteKey.load()(key, Utf8ToUtf16(name).c_str()) != ERROR_SUCCESS) return false;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The check that decides whether a hive may be changed reads every input,
    // also those hivex would not open.
    platform::offreg::HiveDamage(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string hive_file = ScratchFolder() + "/SYSTEM";
    const std::string saved_file = ScratchFolder() + "/SYSTEM.saved";
    {
        std::ofstream out(hive_file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::error_code ignored;
    std::filesystem::remove(saved_file, ignored);

    ORHKEY hive = nullptr;
    if (Api().OROpenHive.load()(Utf8ToUtf16(hive_file).c_str(), &hive) != ERROR_SUCCESS) return 0;
    int keys = 0;
    Walk(hive, 0, keys);
    // The tree below the first key the root has.
    DWORD result = 0;
    const std::string first = SubkeyName(hive, 0, result);
    ORHKEY top = nullptr;
    if (result == ERROR_SUCCESS && Api().OROpenKey.load()(hive, Utf8ToUtf16(first).c_str(), &top) == ERROR_SUCCESS) {
        int steps = 0;
        DeleteBelow(top, 0, steps);
        Api().ORCloseKey.load()(top);
    }
    const DWORD saved = Api().ORSaveHive.load()(hive, Utf8ToUtf16(saved_file).c_str(), 6, 1);
    Api().ORCloseHive.load()(hive);
    // What was saved is read as the repairs read it before swapping it in.
    ORHKEY again = nullptr;
    if (saved == ERROR_SUCCESS && Api().OROpenHive.load()(Utf8ToUtf16(saved_file).c_str(), &again) == ERROR_SUCCESS) {
        keys = 0;
        Walk(again, 0, keys);
        Api().ORCloseHive.load()(again);
    }
    return 0;
}
