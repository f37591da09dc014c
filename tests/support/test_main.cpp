// The main of every test program. CTest runs each test as a process of its
// own; that process gets a scratch folder of its own, which is its TMPDIR
// and holds its TARNOVELL_STATE, so that no test reads or writes the
// machine's state (/var/lib/tarnovell) or leaves files where it ran. A test
// that changes the machine's state anyway fails.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/os/temp_folder.h"

namespace {

constexpr const char* kMachineStateFolder = "/var/lib/tarnovell";

// What the machine's state folder holds: each file with its change time.
std::map<std::string, std::int64_t> MachineState() {
    std::map<std::string, std::int64_t> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kMachineStateFolder, ec)) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) == 0)
            files[entry.path().filename().string()] = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    }
    return files;
}

class MachineStateGuard : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { before_ = MachineState(); }
    void OnTestEnd(const testing::TestInfo&) override {
        if (MachineState() != before_)
            ADD_FAILURE() << "the test changed the machine's own state in " << kMachineStateFolder
                          << ": every test keeps its state in its own TARNOVELL_STATE";
    }
    std::map<std::string, std::int64_t> before_;
};

// The folder of this test process: TMPDIR and the state file point into it
// while the tests run, and it goes when they end, leaving alone whatever a
// test left mounted inside it.
class TestProcessFolder {
public:
    TestProcessFolder() {
        folder_ = platform::ScratchFolder::Create("tarnovell-test-");
        if (!folder_) {
            std::fprintf(stderr, "could not make the test's scratch folder in %s\n",
                         platform::TemporaryFolder().c_str());
            std::exit(1);
        }
        // Tests that run the program as another user keep their files
        // below this folder: it lets others pass, not look.
        ::chmod(folder_.path().c_str(), 0711);
        ::setenv("TMPDIR", folder_.path().c_str(), 1);
        ::setenv("TARNOVELL_STATE", folder_.file("state.ini").c_str(), 1);
    }

private:
    platform::ScratchFolder folder_;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TestProcessFolder folder;
    testing::UnitTest::GetInstance()->listeners().Append(new MachineStateGuard);
    return RUN_ALL_TESTS();
}
