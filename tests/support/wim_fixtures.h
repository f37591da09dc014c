// What the WIM tests share: a target that records every WM_OPERATION post,
// a folder of files to capture, and wimlib-imagex's view of a WIM file.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/progress.h"
#include "support/test_support.h"

namespace wim_test {

struct Post {
    int channel = 0;
    platform::OperationKind kind = platform::OperationKind::Status;
    std::int64_t percent = 0;
    std::string text;
};

class RecordingTarget : public platform::OperationTarget {
public:
    void post(int channel, platform::OperationKind kind, std::int64_t percent, const std::string& text) override {
        std::lock_guard guard(mutex_);
        posts_.push_back({channel, kind, percent, text});
    }
    std::vector<Post> posts() const {
        std::lock_guard guard(mutex_);
        return posts_;
    }
    std::string last_status() const {
        std::lock_guard guard(mutex_);
        for (auto it = posts_.rbegin(); it != posts_.rend(); ++it)
            if (it->kind == platform::OperationKind::Status) return it->text;
        return {};
    }
    // The texts of the message-box posts, in order.
    std::vector<std::string> messages() const {
        std::lock_guard guard(mutex_);
        std::vector<std::string> texts;
        for (const Post& post : posts_)
            if (post.kind == platform::OperationKind::Message) texts.push_back(post.text);
        return texts;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Post> posts_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// A folder to capture: files in the root and in sub-folders, one of them
// with the same name as a root file.
inline std::string MakeSourceFolder(const test_support::TempDir& dir, const std::string& name = "source") {
    std::string root = dir.file(name);
    WriteFile(root + "/secret.tmp", "swap");
    WriteFile(root + "/keep.txt", "kept");
    WriteFile(root + "/sub/secret.tmp", "not the root one");
    WriteFile(root + "/sub/deeper/data.bin", std::string(100000, 'x'));
    return root;
}

inline std::string WimlibDir(const std::string& file, int image = 1) {
    return test_support::Run("wimlib-imagex dir " + test_support::Quote(file) + " " + std::to_string(image)).output;
}

inline std::string WimlibInfo(const std::string& file) {
    return test_support::Run("wimlib-imagex info " + test_support::Quote(file)).output;
}

// A WIM of two images wimlib-imagex captured: the folder `first` named
// `first_name`, then `second` named `second_name`; `options` (such as
// "--solid") go to both.
inline test_support::CommandResult MakeTwoImageWim(const std::string& file, const std::string& first,
                                                   const std::string& first_name, const std::string& second,
                                                   const std::string& second_name, const std::string& options = "") {
    using test_support::Quote;
    return test_support::Run("wimlib-imagex capture " + Quote(first) + " " + Quote(file) + " " + Quote(first_name) +
                             " " + options + " && wimlib-imagex append " + Quote(second) + " " + Quote(file) + " " +
                             Quote(second_name) + " " + options);
}

inline bool HaveWimlib() { return test_support::HaveTool("wimlib-imagex"); }

// The names in a folder, to see that nothing was left behind.
inline std::vector<std::string> Listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace wim_test
