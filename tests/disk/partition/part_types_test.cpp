// The partition-type table the program carries, and its reader.
#include "disk/partition/part_types.h"

#include <gtest/gtest.h>

#include "support/case_name.h"

#include <set>
#include <stdexcept>

#include "resources/carried.h"

namespace {

using disk::PartTypeNameGpt;
using disk::PartTypeNameMbr;

std::string Mbr(std::uint8_t type) {
    std::string result;
    PartTypeNameMbr(type, result);
    return result;
}

std::string Gpt(const std::string& guid) {
    std::string result;
    PartTypeNameGpt(guid, result);
    return result;
}

TEST(PartTypes, EveryRowOfACodeInTableOrderEachAfterOneBlank) {
    EXPECT_EQ(Mbr(0x07), " Advanced Unix QNX QNX OS/2 HPFS WindowsNT NTFS");
    EXPECT_EQ(Mbr(0x00), " NO-Partition empty entry");
    EXPECT_EQ(Mbr(0x05), " Extended DOS 3.3+ extended partition");
    EXPECT_EQ(Mbr(0x0D), "") << "a code without a row";
}

TEST(PartTypes, GptGuidsInAnyCase) {
    EXPECT_EQ(Gpt("{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}"), " PARTITION_BASIC_DATA_GUID");
    EXPECT_EQ(Gpt("{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}"), " PARTITION_SYSTEM_GUID");
    EXPECT_EQ(Gpt("{DE94BBA4-06D1-4D40-A16A-BFD50179D6AC}"), " PARTITION_MSFT_RECOVERY_GUID");
    EXPECT_EQ(Gpt("{0FC63DAF-8483-4772-8E79-3D69D8477DE4}"), " Linux filesystem data");
    EXPECT_EQ(Gpt("ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"), "") << "the key is the braced text";
}

TEST(PartTypes, TheResultIsAppendedTo) {
    std::string result = "07:";
    PartTypeNameMbr(0x83, result);
    EXPECT_EQ(result, "07: Linux native partition");
}

TEST(PartTypes, TheCarriedTableHasItsShape) {
    const std::string_view xml = resources::FindResource("text", "TYPES");
    ASSERT_FALSE(xml.empty());
    EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"));
    const auto rows = disk::ParsePartTypeTable(xml);
    std::set<std::string> mbr_codes;
    int gpt = 0, fm = 0;
    for (const auto& row : rows) {
        if (row.key.size() == 2 && row.key != "FM") {
            EXPECT_EQ(row.key.find_first_not_of("0123456789ABCDEF"), std::string::npos) << row.key;
            mbr_codes.insert(row.key);
        } else if (row.key == "FM") {
            ++fm;
        } else {
            ASSERT_EQ(row.key.size(), 38u) << row.key;
            EXPECT_EQ(row.key.find_first_of("ABCDEF"), std::string::npos) << "lower case: " << row.key;
            ++gpt;
        }
        EXPECT_FALSE(row.description.empty()) << row.key;
    }
    EXPECT_EQ(fm, 1);
    EXPECT_GT(mbr_codes.size(), 150u);
    EXPECT_GE(gpt, 7);
}

struct DocumentCase {
    const char* name;
    const char* xml;
    std::vector<std::pair<std::string, std::string>> rows;
};

class PartTypeDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(PartTypeDocument, RowsInDocumentOrder) {
    const auto rows = disk::ParsePartTypeTable(GetParam().xml);
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& row : rows) seen.emplace_back(row.key, row.description);
    EXPECT_EQ(seen, GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PartTypeDocument,
    ::testing::Values(
        DocumentCase{"TwoRows", "<t><node><Cell>07</Cell><Desc>a</Desc></node><node><Cell>07</Cell><Desc>b</Desc></node></t>",
                     {{"07", "a"}, {"07", "b"}}},
        DocumentCase{"OtherElementsBetween", "<t><x/><node><Cell>01</Cell><Desc>a</Desc></node><y/><node><Cell>02</Cell></node></t>",
                     {{"01", "a"}, {"02", ""}}},
        DocumentCase{"Latin1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><t><node><Cell>01</Cell><Desc>\xe9t\xe9</Desc></node></t>",
                     {{"01", "\xc3\xa9t\xc3\xa9"}}},
        DocumentCase{"NoRows", "<t/>", {}}),
    test_support::CaseName());

TEST(PartTypes, ADocumentThatIsNoXmlIsRefused) {
    for (const char* bad : {"", "<t><node>", "not xml", "<a></b>"})
        EXPECT_THROW(disk::ParsePartTypeTable(bad), std::runtime_error) << bad;
}

}  // namespace
