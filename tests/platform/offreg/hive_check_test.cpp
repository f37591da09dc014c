// Which hives may be changed: hives hivexsh wrote pass, and each damage that
// would make hivex end the process while it frees cells is found.
#include "platform/offreg/hive_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/base/byte_order.h"
#include "support/hive_fixture.h"
#include "support/hivex_shell.h"
#include "support/test_support.h"

namespace {

using test_support::TempDir;

// The cell of the key or value record whose name is `name`: the name sits
// at 0x50 of a key record and at 0x18 of a value record.
std::size_t RecordNamed(const std::string& hive, const char* signature, const std::string& name) {
    const std::size_t name_at = std::string(signature) == "nk" ? 0x50 : 0x18;
    for (std::size_t at = hive.find(name); at != std::string::npos; at = hive.find(name, at + 1))
        if (at >= name_at && hive.compare(at - name_at + 4, 2, signature) == 0) return at - name_at;
    ADD_FAILURE() << "no " << signature << " record " << name;
    return 0;
}

std::uint32_t Le32(const std::string& hive, std::size_t at) { return platform::LoadLe32(&hive[at]); }
void SetLe32(std::string& hive, std::size_t at, std::uint32_t value) { platform::StoreLe32(&hive[at], value); }

class HiveCheck : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("hivexsh")) GTEST_SKIP() << "hivexsh is needed";
        const std::string empty = dir.file("empty");
        test_support::WriteEmptyHive(empty);
        const auto result = test_support::RunHivexShell(
            dir,
            "load " + empty +
                "\nadd Key\nadd Other\ncd Key\nsetval 2\nFirst\nstring:the first value, stored in a cell of its own\n"
                "Second\nstring:the second value, also stored apart\ncommit " + dir.file("hive"),
            true);
        ASSERT_EQ(result.exit_code, 0) << result.output;
        hive = test_support::ReadWholeFile(dir.file("hive"));
    }

    TempDir dir;
    std::string hive;
};

TEST_F(HiveCheck, HivesHivexWroteMayBeChanged) {
    EXPECT_EQ(platform::offreg::HiveDamage(test_support::EmptyHiveBytes()), "");
    EXPECT_EQ(platform::offreg::HiveDamage(hive), "");
}

TEST_F(HiveCheck, FindsWhatWouldBreakAChange) {
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
        const char* found;
    };
    const std::size_t security = test_support::hive_layout::kBaseBlockSize + test_support::hive_layout::kSecurityCell;
    const Case cases[] = {
        {"value data past the end",
         [](std::string& h) { SetLe32(h, RecordNamed(h, "vk", "First") + 0x0C, 0x7FFF0000); },
         "bad or shared data of the value"},
        {"two values share their data",
         [](std::string& h) {
             SetLe32(h, RecordNamed(h, "vk", "Second") + 0x0C, Le32(h, RecordNamed(h, "vk", "First") + 0x0C));
         },
         "bad or shared data of the value"},
        {"value data is the key itself",
         [](std::string& h) { SetLe32(h, RecordNamed(h, "vk", "First") + 0x0C, RecordNamed(h, "nk", "Key") - 0x1000); },
         "bad or shared data of the value"},
        {"more values than the list holds",
         [](std::string& h) { SetLe32(h, RecordNamed(h, "nk", "Key") + 0x28, 1000); }, "bad value list"},
        {"class name in no cell",
         [](std::string& h) { SetLe32(h, RecordNamed(h, "nk", "Key") + 0x34, 0x13); }, "bad class name"},
        {"a key listed twice",
         [](std::string& h) {
             // The root's list: "lf"/"lh", a count, then offset and hash per key.
             const std::size_t list = 0x1000 + Le32(h, 0x1000 + 0x20 + 0x20);
             SetLe32(h, list + 16, Le32(h, list + 8));
         },
         "bad or shared key"},
        {"security ring broken",
         [security](std::string& h) { SetLe32(h, security + 0x08, test_support::hive_layout::kRootCell); },
         "security ring broken"},
        {"security cell used more than it counts",
         [security](std::string& h) { SetLe32(h, security + 0x10, 1); }, "counts fewer keys than use it"},
        {"cut short", [](std::string& h) { h.resize(h.size() - 0x800); }, "its bins reach past the end of the file"},
        {"a cell longer than its bin",
         [](std::string& h) { SetLe32(h, RecordNamed(h, "vk", "First"), 0x80000000u); }, "bad cell at"},
    };
    for (const Case& c : cases) {
        std::string damaged = hive;
        c.damage(damaged);
        EXPECT_NE(platform::offreg::HiveDamage(damaged).find(c.found), std::string::npos)
            << c.name << ": " << platform::offreg::HiveDamage(damaged);
    }
}

}  // namespace
