// File handles: dispositions, share modes, pointers, unbuffered alignment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/device/handle.h"
#include "support/embedded_machine.h"

using namespace platform;
using test_support::TempDir;

namespace {

// A buffer aligned for unbuffered I/O.
struct AlignedBuffer {
    explicit AlignedBuffer(std::size_t size) {
        if (posix_memalign(&data, 4096, size) != 0) data = nullptr;
        std::memset(data, 0x5A, size);
    }
    ~AlignedBuffer() { free(data); }
    void* data = nullptr;
};

}  // namespace

TEST(FileHandles, DispositionsFollowTheWindowsRules) {
    TempDir dir;
    std::string path = dir.file("f.bin");
    EXPECT_FALSE(CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    {
        Handle h = CreateFile(path, GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_TRUE(h);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, "hello", 5, &written));
        EXPECT_EQ(written, 5u);
    }
    EXPECT_FALSE(CreateFile(path, GENERIC_WRITE, 0, CREATE_NEW, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(CreateFile(dir.file("no/such/f.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    Handle h = CreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0);
    std::int64_t size = 0, at = 0;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 5);
    ASSERT_TRUE(SetFilePointerEx(h, -2, &at, FILE_END));
    EXPECT_EQ(at, 3);
    EXPECT_FALSE(SetFilePointerEx(h, -10, &at, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    char tail[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, tail, sizeof tail, &got));
    EXPECT_EQ(std::string(tail, got), "lo");
    ASSERT_TRUE(ReadFile(h, tail, sizeof tail, &got));
    EXPECT_EQ(got, 0u);  // end of file is success with nothing read
    ASSERT_TRUE(SetFilePointerEx(h, 1 << 20, &at, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 1 << 20);
}

// Something only read from must hold bytes: a FIFO (which would block the
// open until someone wrote to it) and a character device are refused at
// once, with or without buffering; what is written to may be either.
TEST(FileHandles, ASourceThatOnlyStreamsIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")})
        for (DWORD flags : {DWORD{0}, DWORD{FILE_FLAG_NO_BUFFERING}}) {
            EXPECT_FALSE(CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, flags)) << path;
            EXPECT_EQ(GetLastError(), ERROR_BAD_FILE_TYPE) << path;
        }
    EXPECT_EQ(SysErrorMessage(ERROR_BAD_FILE_TYPE), "The file is neither a regular file nor a block device");
    EXPECT_TRUE(CreateFile("/dev/null", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
    const std::string file = dir.file("f.bin");
    test_support::WriteWholeFile(file, "bytes");
    Handle h = CreateFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_TRUE(h);
    char got[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, got, sizeof got, &read));
    EXPECT_EQ(std::string(got, read), "bytes");
}

TEST(FileHandles, NoSharingMeansAlone) {
    TempDir dir;
    std::string path = dir.file("f.bin");
    Handle alone = CreateFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_TRUE(alone);
    EXPECT_FALSE(CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    alone.close();
    Handle shared = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_TRUE(shared);
    EXPECT_TRUE(CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    EXPECT_FALSE(CreateFile(path, GENERIC_WRITE, 0, OPEN_EXISTING, 0));
}

TEST(FileHandles, UnbufferedTransfersMustBeSectorAligned) {
    TempDir dir;
    std::string path = dir.file("u.bin");
    Handle h = CreateFile(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING);
    ASSERT_TRUE(h);
    AlignedBuffer buffer(8192);
    std::size_t done = 0;
    EXPECT_TRUE(WriteAt(h, 0, buffer.data, 4096, &done));
    EXPECT_FALSE(WriteAt(h, 100, buffer.data, 512, &done));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteAt(h, 0, buffer.data, 100, &done));
    EXPECT_FALSE(WriteAt(h, 0, static_cast<char*>(buffer.data) + 1, 512, &done));
    EXPECT_TRUE(ReadAt(h, 0, buffer.data, 4096, &done));
    EXPECT_EQ(done, 4096u);
    EXPECT_TRUE(h.close());
}

TEST(FileHandles, DeleteRegularFileLeavesEverythingElse) {
    TempDir dir;
    test_support::WriteWholeFile(dir.file("plain"), "x");
    EXPECT_TRUE(DeleteRegularFile(dir.file("plain")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("plain")));
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_FALSE(DeleteRegularFile(dir.file("folder")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("folder")));
    EXPECT_FALSE(DeleteRegularFile(dir.file("absent")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(FileHandles, DriveLetterPathsNeedAMountedVolume) {
    test_support::EmbeddedMachine machine({test_support::DiskSpec{
        8 << 20, {"printf 'label: dos\\nstart=2048,size=4096,type=7\\n' | sfdisk -q %s"}, ""}});
    // Volumes of image files are not mounted anywhere on this machine.
    EXPECT_FALSE(CreateFile("C:\\file.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_FALSE(CreateFile("Q:\\file.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}
