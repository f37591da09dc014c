// Handles made over a backend of the virtual-disk service's own.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/device/virtual_disk_handle.h"
#include "support/test_support.h"

using namespace platform;

namespace {

struct Journal {
    std::vector<std::string> events;
};

class MemoryIo : public DiskIo {
public:
    MemoryIo(std::string& bytes, Journal& journal) : bytes_(bytes), journal_(journal) {}
    ~MemoryIo() override { journal_.events.push_back("io gone"); }
    bool read(std::int64_t offset, void* buffer, std::size_t length) override {
        std::memcpy(buffer, bytes_.data() + offset, length);
        return true;
    }
    bool write(std::int64_t offset, const void* buffer, std::size_t length) override {
        std::memcpy(bytes_.data() + offset, buffer, length);
        return true;
    }
    bool flush() override {
        journal_.events.push_back("flushed");
        return true;
    }

private:
    std::string& bytes_;
    Journal& journal_;
};

class TestBinding : public VirtualDiskBinding {
public:
    explicit TestBinding(Journal& journal) : journal_(journal) {}
    ~TestBinding() override { journal_.events.push_back("binding gone"); }
    using VirtualDiskBinding::drop_bytes;
    using VirtualDiskBinding::set_length;
    using VirtualDiskBinding::use_file;
    using VirtualDiskBinding::use_io;

private:
    Journal& journal_;
};

TEST(VirtualDiskHandle, ReadsAndWritesThroughItsBackendWithinItsLength) {
    Journal journal;
    std::string bytes(4096, 'z');
    auto owned = std::make_unique<TestBinding>(journal);
    TestBinding* binding = owned.get();
    Handle handle = MakeVirtualDiskHandle("disk.vhd", "/images/disk.vhd", 512, 4096, std::move(owned));
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle.kind(), HandleKind::VirtualDisk);
    EXPECT_EQ(VirtualDiskBindingOf(handle), binding);

    char buffer[512] = {};
    std::size_t done = 0;
    EXPECT_FALSE(ReadAt(handle, 0, buffer, sizeof buffer, &done)) << "no bytes before the binding gives some";

    binding->use_io(std::make_unique<MemoryIo>(bytes, journal), false);
    std::memset(buffer, 'w', sizeof buffer);
    ASSERT_TRUE(WriteAt(handle, 1024, buffer, sizeof buffer, &done));
    EXPECT_EQ(bytes.substr(1024, 512), std::string(512, 'w'));
    EXPECT_FALSE(WriteAt(handle, 4096 - 256, buffer, sizeof buffer, &done)) << "a disk never grows";
    EXPECT_EQ(GetLastError(), ERROR_SECTOR_NOT_FOUND);

    // What it holds goes in order: the written bytes flushed, the backend,
    // and only then the binding (which stops a server the bytes came from).
    ASSERT_TRUE(handle.close());
    EXPECT_EQ(journal.events, (std::vector<std::string>{"flushed", "io gone", "binding gone"}));
}

TEST(VirtualDiskHandle, ReadOnlyBytesAnswerWritesWithWriteProtect) {
    test_support::TempDir dir;
    const std::string file = dir.file("bytes.img");
    test_support::WriteWholeFile(file, std::string(8192, 'r'));
    Journal journal;
    auto owned = std::make_unique<TestBinding>(journal);
    TestBinding* binding = owned.get();
    Handle handle = MakeVirtualDiskHandle("ro.vhd", file, 512, 8192, std::move(owned));
    ASSERT_EQ(binding->use_file(file, true), ERROR_SUCCESS);
    char buffer[512];
    std::size_t done = 0;
    ASSERT_TRUE(ReadAt(handle, 512, buffer, sizeof buffer, &done));
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(512, 'r'));
    EXPECT_FALSE(WriteAt(handle, 0, buffer, sizeof buffer, &done));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);

    binding->drop_bytes();
    EXPECT_FALSE(ReadAt(handle, 0, buffer, sizeof buffer, &done));
    EXPECT_EQ(binding->use_file(dir.file("missing.img"), false), ERROR_FILE_NOT_FOUND);
}

TEST(VirtualDiskHandle, OtherHandlesHaveNoBinding) {
    test_support::TempDir dir;
    test_support::WriteWholeFile(dir.file("plain"), "x");
    Handle file = CreateFile(dir.file("plain"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_TRUE(file);
    EXPECT_EQ(VirtualDiskBindingOf(file), nullptr);
    EXPECT_EQ(VirtualDiskBindingOf(Handle()), nullptr);
}

}  // namespace
