// A fault in the worker of one of the program's operations, answered with
// "continue application": the operation ends as failed, keeps no output as
// if complete and gives back the descriptors and volume locks it held.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/embedded_machine.h"
#include "support/test_support.h"

namespace crashreport_test {
namespace {

namespace fs = std::filesystem;

// The child's standard output; its exit code must be 0 (it went on).
std::string RunWorkerChild(const std::string& arguments) {
    const test_support::CommandResult run = test_support::Run(
        "env ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen timeout 120 '" + std::string(WORKER_FAULT_CHILD) +
        "' " + arguments + " 2>/dev/null");
    EXPECT_EQ(run.exit_code, 0) << run.output;
    return run.output;
}

bool Has(const std::string& output, const std::string& line) {
    return output.find("\n" + line + "\n") != std::string::npos || output.rfind(line + "\n", 0) == 0;
}

TEST(WorkerFault, Md5WindowSaysTheHashFailedAndWritesNoDigestFile) {
    test_support::TempDir dir;
    const std::string file = dir.file("disk.img");
    test_support::WriteWholeFile(file, std::string(1 << 20, 'x'));
    const std::string output = RunWorkerChild("md5 " + test_support::Quote(file));
    EXPECT_NE(output.find("status=Failed after "), std::string::npos) << output;
    EXPECT_TRUE(Has(output, "md5 file=none")) << output;
    EXPECT_TRUE(Has(output, "digest=")) << output;
    EXPECT_TRUE(Has(output, "open=0")) << output;
    EXPECT_FALSE(fs::exists(dir.file("disk.md5")));
}

class WorkerFaultCopy : public ::testing::Test {
protected:
    test_support::EmbeddedMachine machine_{{test_support::PartitionedExt4Disk()}};
    test_support::TempDir files_;
};

TEST_F(WorkerFaultCopy, BackupFailsAndLeavesNoImageFile) {
    const std::string image = files_.file("backup.img");
    const std::string output = RunWorkerChild("backup '\\\\.\\PhysicalDrive0' " + test_support::Quote(image) + " " +
                                              test_support::Quote(machine_.image(0)));
    EXPECT_TRUE(Has(output, "faulted=1")) << output;
    EXPECT_TRUE(Has(output, "succeeded=0")) << output;
    EXPECT_TRUE(Has(output, "messages=1")) << output;
    EXPECT_TRUE(Has(output, "open=0")) << output;
    // Neither the image nor a part of it beside its name.
    EXPECT_TRUE(Has(output, "folder:")) << output;
    EXPECT_FALSE(fs::exists(image));
}

TEST_F(WorkerFaultCopy, RestoreFailsAndGivesBackTheDestinationVolumes) {
    const std::string image = files_.file("source.img");
    test_support::WriteWholeFile(image, test_support::ReadWholeFile(machine_.image(0)));
    const std::string output = RunWorkerChild("restore '\\\\.\\PhysicalDrive0' " + test_support::Quote(image) + " " +
                                              test_support::Quote(machine_.image(0)));
    EXPECT_TRUE(Has(output, "faulted=1")) << output;
    EXPECT_TRUE(Has(output, "succeeded=0")) << output;
    // The destination's volume was locked while it was written.
    EXPECT_TRUE(Has(output, "held at the fault=1")) << output;
    EXPECT_TRUE(Has(output, "held volumes=0")) << output;
    EXPECT_TRUE(Has(output, "open=0")) << output;
}

}  // namespace
}  // namespace crashreport_test
