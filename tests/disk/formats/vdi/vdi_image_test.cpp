// Our VDI reader on images built byte by byte in memory: what it reads
// through the block map, and every header or map it must refuse.
#include <gtest/gtest.h>

#include "support/case_name.h"

#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "disk/copy/copy_loop.h"
#include "disk/formats/vdi/vdi_image.h"
#include "platform/base/byte_order.h"

using namespace disk;

namespace {

constexpr std::uint32_t kBlock = 4096;

// A file in memory; `size` may be larger than what it holds (the rest reads
// as 0x77, so that a read that lands there is seen).
class MemoryFile : public CopySource {
public:
    MemoryFile(std::map<std::int64_t, std::string> pieces, std::int64_t size)
        : pieces_(std::move(pieces)), size_(size) {}
    std::int64_t size() override { return size_; }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        if (offset >= size_) return 0;
        const auto done = static_cast<std::size_t>(std::min<std::int64_t>(buffer.size(), size_ - offset));
        std::memset(buffer.data(), 0x77, done);
        for (const auto& [at, bytes] : pieces_) {
            const std::int64_t from = std::max(at, offset);
            const std::int64_t to = std::min<std::int64_t>(at + bytes.size(), offset + done);
            if (from < to) std::memcpy(buffer.data() + (from - offset), bytes.data() + (from - at), to - from);
        }
        return done;
    }

private:
    std::map<std::int64_t, std::string> pieces_;
    std::int64_t size_;
};

// A dynamic image of `blocks` blocks of 4 KiB holding a disk of `disk` bytes.
struct ImageBuilder {
    VdiHeader header{};
    std::vector<std::uint32_t> map;
    std::map<std::int64_t, std::string> data;  // by data block number
    std::int64_t file_size = 0;                // 0: just past the last data block

    ImageBuilder(std::uint32_t blocks, std::uint64_t disk) : map(blocks, kVdiBlockFree) {
        std::strcpy(header.szFileInfo, "<<< Oracle VM VirtualBox Disk Image >>>\n");
        header.u32Signature.set(kVdiSignature);
        header.u32Version.set(0x00010001);
        header.cbHeader.set(400);
        header.u32Type.set(kVdiNormal);
        header.offBlocks.set(512);
        header.offData.set(512 + ((blocks * 4 + 511) / 512) * 512);
        header.cbDisk.set(disk);
        header.cbBlock.set(kBlock);
        header.cBlocks.set(blocks);
    }
    // Block `index` of the disk stored as data block `stored`, filled with `fill`.
    ImageBuilder& put(std::uint32_t index, std::uint32_t stored, char fill) {
        map[index] = stored;
        data[stored] = std::string(kBlock, fill);
        return *this;
    }
    std::unique_ptr<CopySource> file() const {
        std::map<std::int64_t, std::string> pieces;
        pieces[0] = std::string(reinterpret_cast<const char*>(&header), sizeof header);
        std::string entries(map.size() * 4, '\0');
        for (std::size_t i = 0; i < map.size(); ++i) platform::StoreLe32(&entries[i * 4], map[i]);
        pieces[header.offBlocks.value()] = entries;
        std::int64_t end = header.offData.value();
        for (const auto& [stored, bytes] : data) {
            const std::int64_t at = header.offData.value() + static_cast<std::int64_t>(stored) *
                                                                 (header.cbBlock.value() + header.cbBlockExtra.value()) +
                                    header.cbBlockExtra.value();
            pieces[at] = bytes;
            end = std::max<std::int64_t>(end, at + static_cast<std::int64_t>(bytes.size()));
        }
        return std::make_unique<MemoryFile>(std::move(pieces), file_size ? file_size : end);
    }
    std::unique_ptr<VdiImage> open(std::ostream* trace = nullptr) const {
        auto source = file();
        const std::int64_t size = source->size();
        return std::make_unique<VdiImage>(std::move(source), size, trace);
    }
};

std::string ReadAll(CopySource& source, std::size_t chunk) {
    std::string out;
    std::vector<std::byte> buffer(chunk);
    for (;;) {
        std::size_t done = 0;
        EXPECT_NO_THROW(done = source.read(static_cast<std::int64_t>(out.size()), buffer));
        if (done == 0) return out;
        out.append(reinterpret_cast<const char*>(buffer.data()), done);
    }
}

TEST(VdiImage, ReadsEachBlockFromWhereTheMapSaysAndZerosWhereNothingIsStored) {
    ImageBuilder b(5, 5 * kBlock - 1000);  // the last block holds part of the disk only
    b.put(0, 2, 'a').put(2, 0, 'c').put(4, 1, 'e');
    b.map[3] = kVdiBlockZero;
    auto image = b.open();
    EXPECT_EQ(image->size(), 5 * kBlock - 1000);
    const std::string expected = std::string(kBlock, 'a') + std::string(kBlock, '\0') + std::string(kBlock, 'c') +
                                 std::string(kBlock, '\0') + std::string(kBlock - 1000, 'e');
    // Whatever the size of the reads, they are split at block ends and end at the disk's end.
    for (std::size_t chunk : {std::size_t{512}, std::size_t{3000}, std::size_t{kBlock}, std::size_t{1} << 20})
        EXPECT_EQ(ReadAll(*image, chunk), expected) << chunk;
}

TEST(VdiImage, BlockExtraBytesAreSkipped) {
    ImageBuilder b(2, 2 * kBlock);
    b.header.cbBlockExtra.set(512);
    b.put(0, 1, 'x').put(1, 0, 'y');
    auto image = b.open();
    EXPECT_EQ(ReadAll(*image, 8192), std::string(kBlock, 'x') + std::string(kBlock, 'y'));
}

TEST(VdiImage, BlocksPastFourGibibytesAreReadFromTheirTrueOffset) {
    // 5 GiB of disk in 1 MiB blocks; the last block is stored as data block 5000.
    const std::uint32_t blocks = 5120;
    ImageBuilder b(blocks, std::uint64_t{blocks} << 20);
    b.header.cbBlock.set(1 << 20);
    b.map[blocks - 1] = 5000;
    const std::int64_t at = b.header.offData.value() + (std::int64_t{5000} << 20);
    std::map<std::int64_t, std::string> stored{{0, std::string(reinterpret_cast<const char*>(&b.header), 512)},
                                               {at, "far away"}};
    std::string entries(blocks * 4, '\0');
    for (std::size_t i = 0; i < blocks; ++i) platform::StoreLe32(&entries[i * 4], b.map[i]);
    stored[512] = entries;
    auto file = std::make_unique<MemoryFile>(stored, at + (1 << 20));
    VdiImage image(std::move(file), at + (1 << 20));
    std::vector<std::byte> buffer(8);
    std::size_t done = 0;
    ASSERT_NO_THROW(done = image.read((std::int64_t{blocks} - 1) << 20, buffer));
    ASSERT_EQ(done, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 8), "far away");
}

TEST(VdiImage, TracesTheHeaderFieldsByName) {
    ImageBuilder b(1, kBlock);
    std::ostringstream trace;
    b.open(&trace);
    EXPECT_NE(trace.str().find("u32Signature:beda107f\n"), std::string::npos) << trace.str();
    EXPECT_NE(trace.str().find("cbDisk:4096\ncbBlock:4096\n"), std::string::npos) << trace.str();
    EXPECT_NE(trace.str().find("cBlocksAllocated:0\n"), std::string::npos) << trace.str();
}

// A header that counts more blocks than the disk has (its map in the file
// all the same): only the disk's blocks are looked up, and the disk reads
// as it is.
TEST(VdiImage, AHeaderCountingMoreBlocksThanTheDiskReadsTheDisk) {
    ImageBuilder b(64, 2 * kBlock);
    b.put(0, 0, 'a').put(1, 1, 'b');
    auto image = b.open();
    EXPECT_EQ(image->size(), 2 * kBlock);
    EXPECT_EQ(ReadAll(*image, 3000), std::string(kBlock, 'a') + std::string(kBlock, 'b'));
}

struct Refusal {
    const char* name;
    std::function<void(ImageBuilder&)> spoil;
    const char* text;
};

class VdiRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(VdiRefusals, AreRaisedWithWhatIsWrong) {
    ImageBuilder b(4, 4 * kBlock);
    b.put(0, 0, 'a');
    GetParam().spoil(b);
    try {
        b.open();
        FAIL() << "opened";
    } catch (const CopyFormatError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, VdiRefusals,
    ::testing::Values(
        Refusal{"Signature", [](ImageBuilder& b) { b.header.u32Signature.set(0x12345678); }, "not a VDI image: wrong signature"},
        Refusal{"ShortFile", [](ImageBuilder& b) { b.file_size = 300; }, "not a VDI image: shorter than its header"},
        Refusal{"Version", [](ImageBuilder& b) { b.header.u32Version.set(0x00000002); }, "VDI version 0.2 is not supported"},
        Refusal{"Differencing", [](ImageBuilder& b) { b.header.u32Type.set(kVdiDifferencing); },
                "differencing VDI images are not supported"},
        Refusal{"Undo", [](ImageBuilder& b) { b.header.u32Type.set(kVdiUndo); }, "differencing VDI images are not supported"},
        Refusal{"UnknownType", [](ImageBuilder& b) { b.header.u32Type.set(9); }, "VDI image type 9 is not supported"},
        Refusal{"BlockSizeZero", [](ImageBuilder& b) { b.header.cbBlock.set(0); }, "VDI block size 0 is not valid"},
        Refusal{"BlockSizeOdd", [](ImageBuilder& b) { b.header.cbBlock.set(1000); }, "VDI block size 1000 is not valid"},
        Refusal{"BlockExtra", [](ImageBuilder& b) { b.header.cbBlockExtra.set(8192); }, "VDI block extra 8192 is not valid"},
        Refusal{"DiskPastTheMap", [](ImageBuilder& b) { b.header.cbDisk.set(4 * kBlock + 1); },
                "VDI block map does not cover the disk"},
        Refusal{"MapPastTheFile", [](ImageBuilder& b) { b.header.offBlocks.set(1 << 20); },
                "VDI block map lies past the end of the file"},
        Refusal{"HugeBlockCount",
                [](ImageBuilder& b) {
                    b.header.cBlocks.set(0xFFFFFFF0u);
                    b.header.cbDisk.set(4 * kBlock);
                },
                "VDI block map lies past the end of the file"},
        Refusal{"EntryOutOfRange", [](ImageBuilder& b) { b.map[2] = 4; }, "VDI block map entry 2 is out of range"}),
    test_support::CaseName());

TEST(VdiImage, ABlockTheFileDoesNotHoldInFullIsAnErrorNotZeros) {
    ImageBuilder b(3, 3 * kBlock);
    b.put(0, 0, 'a').put(1, 2, 'b');  // stored block 2 is cut short by the file's end
    b.file_size = b.header.offData.value() + 2 * kBlock + 100;
    auto image = b.open();
    std::vector<std::byte> buffer(3 * kBlock);
    EXPECT_THROW(image->read(0, buffer), CopyFormatError);
}

}  // namespace
