// The main of every test program. CTest runs each test as a process of its
// own; that process gets a scratch folder of its own, which is its TMPDIR
// and holds its TARNOVELL_STATE, so that no test reads or writes the
// machine's state (/var/lib/tarnovell) or leaves files where it ran. A test
// that would reach the machine's state anyway (it unset TARNOVELL_STATE)
// fails: TARNOVELL_NO_MACHINE_STATE makes the program refuse it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os/temp_folder.h"
#include "support/test_support.h"

namespace {

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
        ::setenv("TARNOVELL_NO_MACHINE_STATE", "1", 1);
    }

private:
    platform::ScratchFolder folder_;
};

// Fails a test that leaves a process-wide flag other than it found it, and
// puts the flag back: the tests after it must not inherit it.
class SharedFlagCheck : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { before_ = test_support::SharedFlagValues(); }
    void OnTestEnd(const testing::TestInfo&) override {
        for (const std::string& name : test_support::RestoreSharedFlags(before_))
            ADD_FAILURE() << "the test left " << name << " changed";
    }
    std::vector<bool> before_;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TestProcessFolder folder;
    testing::UnitTest::GetInstance()->listeners().Append(new SharedFlagCheck);
    return RUN_ALL_TESTS();
}
