// The VHD information report over files made by us, by qemu-img and by
// hand: each disk type's lines, the dynamic header's sums, and files too
// short to hold what they claim.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>
#include <vector>

#include "disk/formats/vhd/vhd_footer.h"
#include "disk/formats/vhd/vhd_report.h"
#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "platform/virtdisk/vhd/vhd_records.h"
#include "support/test_support.h"

namespace {

using test_support::Quote;
using test_support::TempDir;

std::string Report(const std::string& path, std::string* console_text = nullptr) {
    std::string report;
    std::ostringstream console;
    disk::VhdInfoReport(path, report, console);
    if (console_text) *console_text = console.str();
    return report;
}

bool HasLine(const std::string& report, const std::string& line) {
    return report.find(line + "\r\n") != std::string::npos;
}

TEST(VhdReport, OurFixedFooter) {
    TempDir dir;
    const std::string image = dir.file("disk.img");
    test_support::MakeSparseFile(image, 1 << 20);
    ASSERT_TRUE(disk::AppendVhdFooter(image, "", 0));
    const std::string report = Report(image);
    EXPECT_EQ(report.rfind("Disk Type: FIXED\r\n", 0), 0u) << report;
    EXPECT_TRUE(HasLine(report, "Features=2"));
    EXPECT_TRUE(HasLine(report, "Format=$10000"));
    EXPECT_TRUE(HasLine(report, "Data_offset=-1"));
    EXPECT_TRUE(HasLine(report, "Creator_Application=hack"));
    EXPECT_TRUE(HasLine(report, "Creator_Host_OS=Wi2k"));
    EXPECT_TRUE(HasLine(report, "Current_Size=1048576"));
    EXPECT_TRUE(HasLine(report, "saved_state=0"));
    auto footer = test_support::ReadWholeFile(image).substr(1 << 20);
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "$%04X", platform::LoadBe32(footer.data() + 64));
    EXPECT_TRUE(HasLine(report, std::string("Checksum=") + checksum)) << report;
}

TEST(VhdReport, DynamicDiskFromQemu) {
    TempDir dir;
    const std::string vhd = dir.file("dyn.vhd");
    ASSERT_EQ(test_support::Run("qemu-img create -q -f vpc -o subformat=dynamic " + Quote(vhd) + " 64M").exit_code, 0);
    const std::string report = Report(vhd);
    EXPECT_EQ(report.rfind("Disk Type: DYNAMIC\r\n", 0), 0u) << report;
    EXPECT_TRUE(HasLine(report, "Table_Offset=1536")) << report;
    EXPECT_TRUE(HasLine(report, "block_size=2097152")) << report;
    EXPECT_EQ(report.find("not a valid vhd"), std::string::npos);
}

// A dynamic footer and header written by hand, with the table the Part's
// example gives.
std::string HandMadeDynamic(std::uint32_t type, std::uint64_t size, const std::u16string& parent = u"") {
    platform::virtdisk::VhdFooter footer{};
    std::memcpy(footer.cookie.data(), "conectix", 8);
    footer.disk_type.set(type);
    footer.data_offset.set(512);
    footer.original_size.set(size);
    footer.current_size.set(size);
    platform::virtdisk::Seal(footer);
    platform::virtdisk::VhdDynamicHeader header{};
    std::memcpy(header.cookie.data(), "cxsparse", 8);
    header.table_offset.set(1536);
    header.header_version.set(0x00010000);
    header.max_table_entries.set(8192);
    header.block_size.set(2097152);
    for (std::size_t i = 0; i < parent.size(); ++i) header.parent_unicode_name[i].set(parent[i]);
    platform::virtdisk::Seal(header);
    std::string bytes(reinterpret_cast<const char*>(&footer), 512);
    bytes += std::string(reinterpret_cast<const char*>(&header), 1024);
    bytes += std::string(8192 * 4, '\xff');
    bytes += std::string(reinterpret_cast<const char*>(&footer), 512);
    return bytes;
}

TEST(VhdReport, DynamicHeaderSums) {
    TempDir dir;
    test_support::WriteWholeFile(dir.file("d.vhd"), HandMadeDynamic(3, std::uint64_t{16} << 30));
    const std::string report = Report(dir.file("d.vhd"));
    EXPECT_TRUE(HasLine(report, "max_entries=8192 -> 17179869184 bytes")) << report;
    EXPECT_TRUE(HasLine(report, "BAT size=32768"));
    EXPECT_TRUE(HasLine(report, "1st block offset=34304"));
    EXPECT_TRUE(HasLine(report, "Header_Version=$10000"));

    test_support::WriteWholeFile(dir.file("zero.vhd"), HandMadeDynamic(3, 0));
    EXPECT_TRUE(HasLine(Report(dir.file("zero.vhd")), "not a valid vhd"));
}

TEST(VhdReport, DifferencingNamesItsParent) {
    TempDir dir;
    test_support::WriteWholeFile(dir.file("child.vhd"), HandMadeDynamic(4, 1 << 20, u"C:\\base.vhd"));
    const std::string report = Report(dir.file("child.vhd"));
    EXPECT_EQ(report.rfind("Disk Type: DIFFERENCING\r\n", 0), 0u);
    EXPECT_TRUE(HasLine(report, "Parent Name=C:\\base.vhd")) << report;
    EXPECT_EQ(report.find("Table_Offset"), std::string::npos);
}

TEST(VhdReport, ParentNameWalkStopsAtTwoZeros) {
    const std::array<std::uint8_t, 10> field = {0, 'a', 0, 'b', 0, 0, 0, 'c', 0, 0};
    EXPECT_EQ(disk::VhdReportHelper(field), "ab");
    std::vector<std::uint8_t> full(600, 'x');
    EXPECT_EQ(disk::VhdReportHelper(full).size(), 512u);
}

TEST(VhdReport, FilesThatAreNoVhdOrTooShort) {
    TempDir dir;
    std::string console;
    test_support::WriteWholeFile(dir.file("odd.bin"), std::string(1000, 'v'));
    EXPECT_EQ(Report(dir.file("odd.bin"), &console), "");
    EXPECT_EQ(console, "mod 512 <>0\n");

    test_support::MakeSparseFile(dir.file("zeros.img"), 4096);
    EXPECT_EQ(Report(dir.file("zeros.img"), &console), "");
    EXPECT_EQ(console, "");
    EXPECT_EQ(Report(dir.file("absent.vhd")), "");

    // A dynamic footer alone, and with half a header: the footer's lines,
    // nothing read from beyond the file.
    const std::string whole = HandMadeDynamic(3, 1 << 20);
    const std::string footer = whole.substr(0, 512);
    test_support::WriteWholeFile(dir.file("short.vhd"), footer);
    std::string report = Report(dir.file("short.vhd"));
    EXPECT_EQ(report.rfind("Disk Type: DYNAMIC\r\n", 0), 0u);
    EXPECT_EQ(report.find("Table_Offset"), std::string::npos);
    test_support::WriteWholeFile(dir.file("half.vhd"), footer + whole.substr(512, 512) + footer);
    report = Report(dir.file("half.vhd"));
    EXPECT_TRUE(HasLine(report, "Table_Offset=1536")) << report;

    // A report adds to what the caller has.
    std::string kept = "before\r\n";
    disk::VhdInfoReport(dir.file("zeros.img"), kept);
    EXPECT_EQ(kept, "before\r\n");
}

}  // namespace
