// The Master Boot Record page's texts: read from tables sfdisk wrote and
// checked against sfdisk's own dump, built back into the same bytes, and
// refused where a text does not fit its field.
#include "main/operations/partition_table_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "support/embedded_machine.h"

using namespace tarnovell;

namespace {

disk::SectorBuffer Sector0(const std::string& image) {
    const std::string bytes = test_support::ReadWholeFile(image);
    disk::SectorBuffer sector{};
    std::copy_n(bytes.begin(), sector.size(), sector.begin());
    return sector;
}

MbrRows EmptyRows() {
    MbrRows rows;
    for (MbrRowText& row : rows) row = {"0", "0", "0", "0", "0", "0", "0", "0", "0", "0"};
    return rows;
}

}  // namespace

TEST(PartitionTableFields, ATableSfdiskWroteReadsAsItsDumpAndBuildsBackByteForByte) {
    test_support::TempDir dir;
    const std::string image = dir.file("disk.img");
    test_support::RunOn("truncate -s 64M %s", image);
    test_support::RunOn(
        "printf 'label: dos\\nlabel-id: 0x1a2b3c4d\\nstart=2048,size=20480,type=c,bootable\\n"
        "start=22528,size=40960,type=83\\nstart=63488,size=67584,type=7\\n' | sfdisk -q %s",
        image);
    const disk::SectorBuffer sector = Sector0(image);
    const PartitionTableText text = PartitionTableTextOf(sector);
    EXPECT_EQ(text.disk_id, "1A2B3C4D");
    const struct {
        const char* boot;
        const char* type;
        const char* start;
        const char* size;
    } dumped[] = {{"80", "0C", "2048", "20480"}, {"00", "83", "22528", "40960"}, {"00", "07", "63488", "67584"},
                  {"00", "00", "0", "0"}};
    for (std::size_t n = 0; n < 4; ++n) {
        EXPECT_EQ(text.rows[n].boot, dumped[n].boot) << n;
        EXPECT_EQ(text.rows[n].type, dumped[n].type) << n;
        EXPECT_EQ(text.rows[n].sectors_before, dumped[n].start) << n;
        EXPECT_EQ(text.rows[n].sectors, dumped[n].size) << n;
    }
    // sfdisk fills the C.H.S fields too; ours come back to the same bytes.
    const disk::SectorBuffer built = PartitionEntriesOf(text.rows);
    EXPECT_TRUE(std::equal(sector.begin() + 446, sector.begin() + 510, built.begin() + 446));
    EXPECT_TRUE(std::all_of(built.begin(), built.begin() + 446, [](std::uint8_t b) { return b == 0; }));
}

TEST(PartitionTableFields, EdgeValuesPackAsTheFormatSays) {
    MbrRows rows = EmptyRows();
    rows[0] = {"80", "254", "1023", "63", "C", "254", "1023", "63", "4294967295", "4294967295"};
    rows[1].type = "$ee";
    const disk::SectorBuffer built = PartitionEntriesOf(rows);
    const std::uint8_t entry[] = {0x80, 0xFE, 0xFF, 0xFF, 0x0C, 0xFE, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(std::equal(std::begin(entry), std::end(entry), built.begin() + 446));
    EXPECT_EQ(built[446 + 16 + 4], 0xEE);
    // Read back, the whole unsigned range shows as typed.
    const PartitionTableText text = PartitionTableTextOf(built);
    EXPECT_EQ(text.rows[0].sectors_before, "4294967295");
    EXPECT_EQ(text.rows[0].type, "0C");
    EXPECT_EQ(text.rows[0].start_cylinder, "1023");

    // An all-zero sector shows zeros everywhere.
    const PartitionTableText empty = PartitionTableTextOf(disk::SectorBuffer{});
    EXPECT_EQ(empty.rows[3].boot, "00");
    EXPECT_EQ(empty.rows[3].start_cylinder, "0");
    EXPECT_EQ(empty.disk_id, "00000000");
}

TEST(PartitionTableFields, TextsThatDoNotFitTheirFieldAreRefusedNamingTheField) {
    struct Case {
        std::size_t row;
        std::string MbrRowText::*field;
        const char* text;
        const char* named;
    };
    const Case cases[] = {
        {0, &MbrRowText::start_cylinder, "1024", "Partition 1, Starting C.H.S (cylinder)"},
        {1, &MbrRowText::end_head, "256", "Partition 2, Ending C.H.S (head)"},
        {2, &MbrRowText::start_sector, "64", "Partition 3, Starting C.H.S (sector)"},
        {3, &MbrRowText::type, "100", "Partition 4, Type"},
        {0, &MbrRowText::boot, "x", "Partition 1, Boot"},
        {0, &MbrRowText::sectors_before, "4294967296", "Partition 1, Sectors Before"},
        {0, &MbrRowText::sectors, "-1", "Partition 1, Sectors"},
        {0, &MbrRowText::start_head, "", "Partition 1, Starting C.H.S (head)"},
    };
    for (const Case& c : cases) {
        MbrRows rows = EmptyRows();
        rows[c.row].*c.field = c.text;
        try {
            PartitionEntriesOf(rows);
            ADD_FAILURE() << c.named;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.named, 0), 0u) << e.what();
        }
    }
}

TEST(PartitionTableFields, DiskIdAndChsHelpers) {
    EXPECT_EQ(ParseDiskId("1A2B3C4D"), 0x1A2B3C4Du);
    EXPECT_EQ(ParseDiskId("$ffffffff"), 0xFFFFFFFFu);
    for (const char* wrong : {"", "123456789", "XYZ", "-1"}) EXPECT_THROW(ParseDiskId(wrong), std::runtime_error) << wrong;

    EXPECT_EQ(SectorsToChs(0), "c=1 h=255 s=63");
    EXPECT_EQ(SectorsToChs(16065), "c=2 h=255 s=63");
    // Past 16 bits of cylinders (a 2 TiB disk) the count does not wrap.
    EXPECT_EQ(SectorsToChs(4294967296LL), "c=267350 h=255 s=63");

    EXPECT_EQ(ClampedChsText("2000", 1023), "1023");
    EXPECT_EQ(ClampedChsText("255", 254), "254");
    EXPECT_EQ(ClampedChsText("63", 63), "63");
    EXPECT_EQ(ClampedChsText("abc", 63), "abc");
}

TEST(PartitionTableFields, TheHtmlExportEscapesItsTexts) {
    MbrRows rows = EmptyRows();
    rows[1].type = "<b>";
    const std::string html = PartitionTableHtml("/tmp/a&b <disk>.img", rows, "1/2/24 10:00:00");
    EXPECT_NE(html.find("DISK: /tmp/a&amp;b &lt;disk&gt;.img<br><br>\r\n"), std::string::npos) << html;
    EXPECT_NE(html.find("<tr><td>&lt;b&gt;</td><td>0</td>"), std::string::npos) << html;
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_EQ(html.rfind("<html>\r\n<body>\r\n", 0), 0u);
    EXPECT_NE(html.find("<tr><td>type</td><td>boot</td><td>Starting Cyl.</td>"), std::string::npos);
    // Four rows of "0" cells under the header.
    std::size_t rows_seen = 0;
    for (std::size_t at = html.find("<tr><td>0</td><td>0</td>"); at != std::string::npos;
         at = html.find("<tr><td>0</td><td>0</td>", at + 1))
        ++rows_seen;
    EXPECT_EQ(rows_seen, 3u);
    EXPECT_NE(html.find("<br><br>Tarnovell - 1/2/24 10:00:00</body>\r\n</html>\r\n"), std::string::npos);
    EXPECT_EQ(HtmlEscape("'\""), "&#39;&quot;");
}
