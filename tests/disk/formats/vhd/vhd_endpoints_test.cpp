// A fixed or dynamic VHD as either end of the copy loop, checked against
// qemu: what our sink writes qemu reads back the same (and a dynamic image
// keeps blocks of zeros unallocated); what qemu writes our source reads.
// (qemu-img check has no checks for VHD; qemu-img compare and map do.)
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <set>

#include "disk/copy/copy_loop.h"
#include "disk/formats/vhd/vhd_endpoints.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/test_support.h"

namespace {

using namespace disk;
using platform::virtdisk::VhdImage;
using test_support::FakeSink;
using test_support::FakeSource;
using test_support::Quote;

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kBlock = 2 * kMiB;  // qemu's VHD block

// `size` bytes with data in the blocks `filled` names (of 2 MiB) and in the
// last sector, zeros elsewhere.
std::string DiskBytes(std::int64_t size, std::vector<int> filled) {
    std::string data(static_cast<std::size_t>(size), '\0');
    std::mt19937 random(static_cast<unsigned>(size));
    for (int block : filled)
        for (std::int64_t at = block * kBlock + 1000; at < std::min(size, block * kBlock + 300000); at += 7)
            data[static_cast<std::size_t>(at)] = static_cast<char>(random() | 1);
    data.back() = 'z';
    return data;
}

std::int64_t RoundToSector(std::int64_t size) { return (size + 511) / 512 * 512; }

class VhdEndpoints : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    void Qemu(const std::string& arguments) {
        auto result = test_support::Run("qemu-img " + arguments);
        ASSERT_EQ(result.exit_code, 0) << arguments << "\n" << result.output;
    }
    std::unique_ptr<VhdImage> Open(const std::string& path, bool writable) {
        std::unique_ptr<VhdImage> image;
        EXPECT_EQ(VhdImage::Open(path, writable, image), platform::ERROR_SUCCESS) << path;
        return image;
    }
    // Bytes qemu maps as data in an image.
    std::int64_t MappedData(const std::string& image) {
        std::string map = test_support::Run("qemu-img map --output=json -f vpc " + Quote(image)).output;
        std::regex range("\"length\": (\\d+),[^}]*\"data\": true");
        std::int64_t total = 0;
        for (std::sregex_iterator it(map.begin(), map.end(), range), end; it != end; ++it) total += std::stoll((*it)[1]);
        return total;
    }
    OperationContext Context() {
        OperationContext context;
        context.interaction = &answers_;
        return context;
    }
    test_support::TempDir dir_;
    platform::ScriptedInteraction answers_;
};

struct SinkCase {
    const char* name;
    const char* subformat;
    std::int64_t size;
    std::vector<int> filled;  // blocks with data besides the last sector
};

class OurSink : public VhdEndpoints, public ::testing::WithParamInterface<SinkCase> {};

TEST_P(OurSink, WritesAnImageQemuReadsBackTheSame) {
    const SinkCase& c = GetParam();
    const std::string data = DiskBytes(c.size, c.filled);
    const std::string image = file("ours.vhd");
    Qemu("create -q -f vpc -o subformat=" + std::string(c.subformat) + ",force_size=on " + Quote(image) + " " +
         std::to_string(RoundToSector(c.size)));
    FakeSource source(data, {});
    VhdSink sink(Open(image, true), true);
    CopyLoopSettings settings;
    settings.block_size = kMiB;
    ASSERT_TRUE(RunCopyLoop(source, sink, settings, Context()).completed());

    // The disk ends in zeros up to its last whole sector.
    test_support::WriteWholeFile(file("expected.raw"), data + std::string(RoundToSector(c.size) - c.size, '\0'));
    Qemu("compare -q -f vpc -F raw " + Quote(image) + " " + Quote(file("expected.raw")));
    if (std::string(c.subformat) == "dynamic") {
        // The blocks with data, and the one with the last sector; qemu maps
        // the last block only as far as the disk goes.
        std::set<std::int64_t> blocks(c.filled.begin(), c.filled.end());
        blocks.insert((c.size - 1) / kBlock);
        std::int64_t expected = 0;
        for (std::int64_t block : blocks) expected += std::min(kBlock, RoundToSector(c.size) - block * kBlock);
        EXPECT_EQ(MappedData(image), expected) << "blocks of zeros stay unallocated";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OurSink,
    ::testing::Values(SinkCase{"fixed_odd_sector_count", "fixed", 3 * kMiB + 3 * 512, {0}},
                      SinkCase{"fixed_not_whole_sectors", "fixed", 5 * kMiB + 100, {1}},
                      SinkCase{"dynamic_zero_blocks_between", "dynamic", 12 * kMiB, {0, 3}},
                      SinkCase{"dynamic_odd_sector_count", "dynamic", 7 * kMiB + 5 * 512, {1, 2}},
                      SinkCase{"dynamic_not_whole_sectors", "dynamic", 5 * kMiB + 100, {0}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VhdEndpoints, OurSourceReadsWhatQemuMakes) {
    const std::string data = DiskBytes(9 * kMiB + 512, {0, 2});
    test_support::WriteWholeFile(file("disk.raw"), data);
    struct Case {
        const char* name;
        std::string make;
    } cases[] = {
        {"fixed.vhd", "convert -f raw -O vpc -o subformat=fixed,force_size=on " + Quote(file("disk.raw"))},
        {"dynamic.vhd", "convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(file("disk.raw"))},
        // Sized by its CHS geometry, as qemu makes it when not told otherwise.
        {"geometry.vhd", "convert -f raw -O vpc -o subformat=dynamic " + Quote(file("disk.raw"))},
        {"empty.vhd", "create -f vpc -o subformat=dynamic"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = file(c.name);
        Qemu(c.make + " " + Quote(image) + (std::string(c.name) == "empty.vhd" ? " 6M" : ""));
        Qemu("convert -f vpc -O raw " + Quote(image) + " " + Quote(file("qemu.raw")));
        const std::string qemu_read = test_support::ReadWholeFile(file("qemu.raw"));
        VhdSource source(Open(image, false));
        EXPECT_EQ(source.size(), static_cast<std::int64_t>(qemu_read.size()));
        FakeSink sink;
        ASSERT_TRUE(RunCopyLoop(source, sink, CopyLoopSettings{}, Context()).completed());
        EXPECT_TRUE(sink.bytes == qemu_read);
    }
}

TEST_F(VhdEndpoints, WritingIntoAnImageWithDataStoresZerosToo) {
    const std::string old_data = DiskBytes(8 * kMiB, {0, 1, 2, 3});
    test_support::WriteWholeFile(file("old.raw"), old_data);
    const std::string image = file("used.vhd");
    Qemu("convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(file("old.raw")) + " " + Quote(image));
    const std::string data = DiskBytes(8 * kMiB, {2});
    FakeSource source(data, {});
    VhdSink sink(Open(image, true), false);
    ASSERT_TRUE(RunCopyLoop(source, sink, CopyLoopSettings{}, Context()).completed());
    test_support::WriteWholeFile(file("expected.raw"), data);
    Qemu("compare -q -f vpc -F raw " + Quote(image) + " " + Quote(file("expected.raw")));
}

TEST_F(VhdEndpoints, ASinkSmallerThanTheSourceTakesWhatFitsAndSaysTheDiskEnded) {
    const std::string image = file("small.vhd");
    Qemu("create -q -f vpc -o subformat=dynamic,force_size=on " + Quote(image) + " 3M");
    const std::string data = DiskBytes(4 * kMiB, {0, 1});
    FakeSource source(data, {});
    VhdSink sink(Open(image, true), true);
    CopyLoopSettings settings;
    settings.quiet_write_errors = true;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, Context());
    EXPECT_EQ(outcome.end, CopyEnd::WriteFailed);
    EXPECT_EQ(outcome.error, platform::ERROR_HANDLE_EOF);
    test_support::WriteWholeFile(file("expected.raw"), data.substr(0, 3 * kMiB));
    Qemu("compare -q -f vpc -F raw " + Quote(image) + " " + Quote(file("expected.raw")));
}

}  // namespace
