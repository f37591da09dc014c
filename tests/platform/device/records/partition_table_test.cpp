// The layout parser read against util-linux's sfdisk/fdisk and gdisk's sgdisk:
// images are partitioned by those tools, read back by them as the reference,
// and then damaged in the ways real disks get damaged.
#include "platform/device/records/partition_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/base/byte_order.h"
#include "platform/base/wide_text.h"
#include "support/case_name.h"
#include "support/image_reader.h"
#include "support/test_support.h"

namespace platform {
// Readable GUIDs in assertion messages.
static void PrintTo(const GUID& guid, std::ostream* out) { *out << device::GuidToString(guid); }
}  // namespace platform

namespace {

using platform::GUID;
using platform::LoadLe32;
using platform::LoadLe64;
using platform::StoreLe32;
using platform::StoreLe64;
using platform::PARTITION_STYLE_GPT;
using platform::PARTITION_STYLE_MBR;
using platform::PARTITION_STYLE_RAW;
using platform::device::DiskLayout;
using platform::device::PartitionRecord;
namespace dev = platform::device;
namespace ts = test_support;

constexpr std::int64_t kMiB = 1 << 20;

bool HavePeerTools() { return ts::HaveTool("sfdisk") && ts::HaveTool("fdisk") && ts::HaveTool("sgdisk"); }

#define REQUIRE_PEER_TOOLS() \
    if (!HavePeerTools()) GTEST_SKIP() << "needs sfdisk/fdisk (package fdisk) and sgdisk (package gdisk)"

// ---------------------------------------------------------------------------
// Raw image access for building and damaging fixtures.

std::string ReadBytes(const std::string& path, std::int64_t offset, std::size_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string data(length, '\0');
    in.read(data.data(), static_cast<std::streamsize>(length));
    return data;
}

void WriteBytes(const std::string& path, std::int64_t offset, const std::string& data) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(offset);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void FlipByte(const std::string& path, std::int64_t offset) {
    std::string byte = ReadBytes(path, offset, 1);
    byte[0] = static_cast<char>(byte[0] ^ 0xFF);
    WriteBytes(path, offset, byte);
}

std::string MbrEntryBytes(std::uint8_t boot, std::uint8_t type, std::uint32_t start, std::uint32_t sectors) {
    const dev::MbrPartitionRecord entry{boot, {}, type, {}, platform::le32::of(start), platform::le32::of(sectors)};
    return std::string(reinterpret_cast<const char*>(&entry), sizeof entry);
}

DiskLayout ReadImageLayout(const std::string& path, std::uint32_t sector_size) {
    ts::ImageReader image(path);
    EXPECT_TRUE(image.ok()) << path;
    DiskLayout layout = dev::ReadDiskLayout(image.reader(), image.disk_size(), sector_size);
    EXPECT_TRUE(image.AllWithin(0, image.disk_size())) << "read outside the image " << path;
    return layout;
}

// ---------------------------------------------------------------------------
// The peer's view of an image: the sfdisk script ("dump") format, which
// `sfdisk --dump` prints for 512-byte sectors and fdisk's O command for any
// sector size (this sfdisk has no --sector-size).

struct PeerPartition {
    int number = 0;  // from the node name: 1-4 primary slots or GPT slots, 5+ logical
    std::int64_t start = 0;
    std::int64_t size = 0;
    std::string type, uuid, name, attrs;
    bool bootable = false;
};

struct PeerLayout {
    std::string label, id;
    std::int64_t first_lba = 0, last_lba = 0;
    std::vector<PeerPartition> partitions;
};

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// Quoted values carry \xNN for non-ASCII bytes and backslash escapes.
std::string Unquote(const std::string& value) {
    if (value.size() < 2 || value.front() != '"') return value;
    std::string out;
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && i + 3 < value.size() && value[i + 1] == 'x') {
            out.push_back(static_cast<char>(std::stoi(value.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else if (value[i] == '\\' && i + 2 < value.size()) {
            out.push_back(value[++i]);
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

// "key=value, key="quoted, text", flag" into its fields.
std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && quoted && i + 1 < text.size()) {
            fields.back() += c;
            fields.back() += text[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            fields.emplace_back();
            continue;
        }
        fields.back() += c;
    }
    for (std::string& field : fields) field = Trim(field);
    return fields;
}

PeerPartition ParsePartitionLine(const std::string& node, const std::string& rest) {
    PeerPartition partition;
    const auto digits = node.find_last_not_of("0123456789");
    partition.number = std::stoi(node.substr(digits + 1));
    for (const std::string& field : SplitFields(rest)) {
        const auto eq = field.find('=');
        if (eq == std::string::npos) {
            if (field == "bootable") partition.bootable = true;
            continue;
        }
        const std::string key = field.substr(0, eq);
        const std::string value = Unquote(Trim(field.substr(eq + 1)));
        if (key == "start") partition.start = std::stoll(value);
        else if (key == "size") partition.size = std::stoll(value);
        else if (key == "type") partition.type = value;
        else if (key == "uuid") partition.uuid = value;
        else if (key == "name") partition.name = value;
        else if (key == "attrs") partition.attrs = value;
    }
    return partition;
}

PeerLayout ParseDump(const std::string& text) {
    PeerLayout peer;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(" : ");
        if (colon != std::string::npos) {
            peer.partitions.push_back(ParsePartitionLine(Trim(line.substr(0, colon)), line.substr(colon + 3)));
            continue;
        }
        colon = line.find(": ");
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon), value = Trim(line.substr(colon + 2));
        if (key == "label") peer.label = value;
        else if (key == "label-id") peer.id = value;
        else if (key == "first-lba") peer.first_lba = std::stoll(value);
        else if (key == "last-lba") peer.last_lba = std::stoll(value);
    }
    return peer;
}

PeerLayout PeerDump(const std::string& image, std::uint32_t sector_size) {
    const std::string dump = image + ".dump";
    const std::string command =
        sector_size == 512 ? "sfdisk --dump " + ts::Quote(image) + " > " + ts::Quote(dump)
                           : "printf 'O\\n%s\\nq\\n' " + ts::Quote(dump) + " | fdisk -b " + std::to_string(sector_size) +
                                 " " + ts::Quote(image) + " > /dev/null";
    const ts::CommandResult result = ts::Run(command);
    EXPECT_EQ(result.exit_code, 0) << command << "\n" << result.output;
    return ParseDump(ts::ReadWholeFile(dump));
}

// Partitions `image` (created at `size`) from an sfdisk script.
void Partition(const std::string& image, std::int64_t size, std::uint32_t sector_size, const std::string& script) {
    ts::MakeSparseFile(image, size);
    const std::string script_file = image + ".script";
    ts::WriteWholeFile(script_file, script);
    const std::string command =
        sector_size == 512 ? "sfdisk --no-reread --no-tell-kernel " + ts::Quote(image) + " < " + ts::Quote(script_file)
                           : "printf 'I\\n%s\\nw\\n' " + ts::Quote(script_file) + " | fdisk -b " +
                                 std::to_string(sector_size) + " " + ts::Quote(image);
    const ts::CommandResult result = ts::Run(command);
    ASSERT_EQ(result.exit_code, 0) << command << "\n" << result.output;
}

void RunOrFail(const std::string& command) {
    const ts::CommandResult result = ts::Run(command);
    ASSERT_EQ(result.exit_code, 0) << command << "\n" << result.output;
}

// ---------------------------------------------------------------------------
// Comparing our layout with the peer's.

GUID Guid(const std::string& text) {
    GUID guid{};
    EXPECT_TRUE(dev::GuidFromString(text, guid)) << text;
    return guid;
}

void ExpectSameMbrEntry(const PartitionRecord& entry, const PeerPartition& peer, std::int64_t ss) {
    SCOPED_TRACE("partition " + std::to_string(peer.number));
    const auto type = static_cast<std::uint8_t>(std::stoul(peer.type, nullptr, 16));
    EXPECT_EQ(entry.style, PARTITION_STYLE_MBR);
    EXPECT_EQ(entry.start, peer.start * ss);
    EXPECT_EQ(entry.length, peer.size * ss);
    EXPECT_EQ(entry.mbr_type, type);
    EXPECT_EQ(entry.boot_indicator, peer.bootable ? 0x80 : 0x00);
    EXPECT_EQ(entry.recognized, !dev::IsExtendedPartitionType(type) && type != 0xEE);
    EXPECT_EQ(entry.logical, peer.number > 4);
}

// The drive-layout order: four primary slots where they are on disk, then four
// entries per EBR: its logical partition, the link to the next EBR, empties.
void ExpectMatchesMbrPeer(const DiskLayout& layout, const PeerLayout& peer, std::int64_t ss) {
    ASSERT_EQ(peer.label, "dos");
    ASSERT_EQ(layout.style, PARTITION_STYLE_MBR);
    EXPECT_EQ(layout.mbr_signature, std::stoul(peer.id, nullptr, 16));
    std::vector<PeerPartition> logicals;
    bool slot_used[4] = {};
    for (const PeerPartition& p : peer.partitions) {
        if (p.number > 4) {
            logicals.push_back(p);
            continue;
        }
        slot_used[p.number - 1] = true;
        ASSERT_GE(layout.entries.size(), 4u);
        ExpectSameMbrEntry(layout.entries[p.number - 1], p, ss);
        EXPECT_EQ(layout.entries[p.number - 1].hidden_sectors, p.start);
    }
    for (int slot = 0; slot < 4 && slot < static_cast<int>(layout.entries.size()); ++slot) {
        if (!slot_used[slot]) {
            EXPECT_TRUE(layout.entries[slot].is_empty()) << "slot " << slot + 1;
        }
    }
    ASSERT_EQ(layout.entries.size(), 4 + 4 * logicals.size());
    for (std::size_t k = 0; k < logicals.size(); ++k) {
        const std::size_t base = 4 + 4 * k;
        const PartitionRecord& logical = layout.entries[base];
        ExpectSameMbrEntry(logical, logicals[k], ss);
        std::size_t empties_from = base + 1;
        if (k + 1 < logicals.size()) {
            // The link must point at the EBR the next logical partition is counted from.
            const PartitionRecord& link = layout.entries[base + 1];
            const PartitionRecord& next = layout.entries[base + 4];
            EXPECT_TRUE(link.is_container()) << "EBR " << k;
            EXPECT_TRUE(link.logical);
            EXPECT_FALSE(link.recognized);
            EXPECT_EQ(link.number, 0u);
            EXPECT_EQ(link.start, next.start - static_cast<std::int64_t>(next.hidden_sectors) * ss);
            empties_from = base + 2;
        }
        for (std::size_t i = empties_from; i < base + 4; ++i) EXPECT_TRUE(layout.entries[i].is_empty()) << i;
    }
}

void ExpectMatchesGptPeer(const DiskLayout& layout, const PeerLayout& peer, std::int64_t ss) {
    ASSERT_EQ(peer.label, "gpt");
    ASSERT_EQ(layout.style, PARTITION_STYLE_GPT);
    EXPECT_EQ(layout.disk_id, Guid(peer.id));
    EXPECT_EQ(layout.usable_start, peer.first_lba * ss);
    EXPECT_EQ(layout.usable_length, (peer.last_lba - peer.first_lba + 1) * ss);
    ASSERT_EQ(layout.entries.size(), peer.partitions.size());
    for (std::size_t i = 0; i < peer.partitions.size(); ++i) {
        const PeerPartition& p = peer.partitions[i];
        const PartitionRecord& e = layout.entries[i];
        SCOPED_TRACE("slot " + std::to_string(p.number));
        EXPECT_EQ(e.style, PARTITION_STYLE_GPT);
        EXPECT_EQ(e.gpt_slot, static_cast<std::uint32_t>(p.number));
        EXPECT_EQ(e.number, i + 1);
        EXPECT_EQ(e.start, p.start * ss);
        EXPECT_EQ(e.length, p.size * ss);
        EXPECT_EQ(e.type_guid, Guid(p.type));
        EXPECT_EQ(e.partition_id, Guid(p.uuid));
        EXPECT_EQ(platform::Utf16ToUtf8(e.name), p.name);
        EXPECT_EQ(e.recognized, !(e.type_guid == dev::kGptMsReserved));
        if (p.attrs.empty()) {
            EXPECT_EQ(e.attributes, 0u);
        }
    }
}

void ExpectMatchesPeer(const DiskLayout& layout, const PeerLayout& peer, std::int64_t ss) {
    if (peer.label == "gpt") ExpectMatchesGptPeer(layout, peer, ss);
    else ExpectMatchesMbrPeer(layout, peer, ss);
}

std::vector<std::uint32_t> Numbers(const std::vector<PartitionRecord>& entries) {
    std::vector<std::uint32_t> numbers;
    for (const PartitionRecord& e : entries) numbers.push_back(e.number);
    return numbers;
}

// Primary slots 1, 2 (extended), 4; slot 3 empty; three logical partitions
// (so that one link starts from an EBR other than the first).
std::string MbrScript(std::int64_t unit, const char* extended_type) {
    auto n = [unit](std::int64_t sectors512) { return std::to_string(sectors512 / unit); };
    return "label: dos\nlabel-id: 0x12345678\n"
           "disk1 : start=" + n(2048) + ", size=" + n(2048) + ", type=83, bootable\n"
           "disk2 : start=" + n(8192) + ", size=" + n(20480) + ", type=" + extended_type + "\n"
           "disk4 : start=" + n(4096) + ", size=" + n(2048) + ", type=7\n"
           "disk5 : start=" + n(10240) + ", size=" + n(2048) + ", type=83\n"
           "disk6 : start=" + n(14336) + ", size=" + n(4096) + ", type=b\n"
           "disk7 : start=" + n(22528) + ", size=" + n(2048) + ", type=c\n";
}

// ---------------------------------------------------------------------------

struct ScriptCase {
    const char* name;
    std::uint32_t sector_size;
    std::string script;
};

class PartitionTableMatchesPeer : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(PartitionTableMatchesPeer, SameLayoutAsUtilLinux) {
    REQUIRE_PEER_TOOLS();
    const ScriptCase& c = GetParam();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    Partition(image, 16 * kMiB * (c.sector_size / 512), c.sector_size, c.script);
    if (HasFatalFailure()) return;
    const PeerLayout peer = PeerDump(image, c.sector_size);
    ASSERT_FALSE(peer.partitions.empty()) << "the peer did not partition the image";
    ExpectMatchesPeer(ReadImageLayout(image, c.sector_size), peer, c.sector_size);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PartitionTableMatchesPeer,
    ::testing::Values(
        ScriptCase{"mbr_512", 512, MbrScript(1, "5")},
        ScriptCase{"mbr_4096", 4096, MbrScript(8, "f")},
        ScriptCase{"mbr_linux_extended", 512, MbrScript(1, "85")},
        ScriptCase{"gpt_4096", 4096,
                   "label: gpt\n"
                   "disk1 : start=256, size=256, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name=\"root\"\n"
                   "disk3 : start=1024, size=512, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE, name=\"Données\"\n"
                   "disk4 : start=2048, size=1024, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"}),
    test_support::CaseName());

TEST(PartitionTableMbr, NumbersVolumesInTableOrderAndSkipsContainers) {
    REQUIRE_PEER_TOOLS();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    Partition(image, 16 * kMiB, 512, MbrScript(1, "5"));
    if (HasFatalFailure()) return;
    const DiskLayout layout = ReadImageLayout(image, 512);
    // slot 1, extended, empty, slot 4 | logical, link, -, - | logical, link, -, - | logical, -, -, -
    EXPECT_EQ(Numbers(layout.entries), (std::vector<std::uint32_t>{1, 0, 0, 2, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0}));
    const std::vector<PartitionRecord> volumes = layout.volumes();
    ASSERT_EQ(volumes.size(), 5u);
    EXPECT_EQ(volumes[0].mbr_type, 0x83);
    EXPECT_EQ(volumes[1].mbr_type, 0x07);
    EXPECT_EQ(volumes[2].start, 10240 * 512);
    EXPECT_EQ(volumes[3].start, 14336 * 512);
    EXPECT_EQ(volumes[4].start, 22528 * 512);
    // A link's start is counted from the extended partition, its stored LBA too.
    for (std::size_t at : {5, 9}) {
        const PartitionRecord& link = layout.entries[at];
        EXPECT_EQ(link.start, 8192 * 512 + static_cast<std::int64_t>(link.hidden_sectors) * 512) << at;
    }
}

TEST(PartitionTableMbr, TruncatedImageReportsExtentsAsStoredWithoutReadingPastTheEnd) {
    REQUIRE_PEER_TOOLS();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    Partition(image, 16 * kMiB, 512, MbrScript(1, "5"));
    if (HasFatalFailure()) return;
    // The last logical partition (22528 + 2048 sectors) and the extended
    // partition (8192 + 20480) now run past the end; every EBR is still there.
    std::filesystem::resize_file(image, 11 * kMiB);
    const DiskLayout layout = ReadImageLayout(image, 512);
    ExpectMatchesPeer(layout, PeerDump(image, 512), 512);
    ASSERT_EQ(layout.entries.size(), 16u);
    EXPECT_EQ(layout.entries[12].start + layout.entries[12].length, 24576 * 512);
    EXPECT_EQ(layout.entries[1].start + layout.entries[1].length, 28672 * 512);
}

// ---------------------------------------------------------------------------
// EBR chains that lead nowhere good.

struct ChainCase {
    const char* name;
    // Damages the fixture; `ebr2` is the LBA of the second EBR.
    std::function<void(const std::string& image, std::int64_t ebr2)> damage;
    std::size_t ebrs_read;
    bool peer_agrees = false;  // sfdisk reads the damaged chain the same way
};

class PartitionTableEbrChain : public ::testing::TestWithParam<ChainCase> {};

constexpr std::int64_t kExtendedLba = 8192;
constexpr std::int64_t kExtendedSectors = 20480;
constexpr std::int64_t kEntry0 = 446, kEntry1 = 446 + 16;

TEST_P(PartitionTableEbrChain, StopsAtTheFirstUntrustworthyLink) {
    REQUIRE_PEER_TOOLS();
    const ChainCase& c = GetParam();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    Partition(image, 16 * kMiB, 512, MbrScript(1, "5"));
    if (HasFatalFailure()) return;
    const std::string ebr1 = ReadBytes(image, kExtendedLba * 512, 512);
    const std::int64_t ebr2 = kExtendedLba + LoadLe32(&ebr1[kEntry1 + 8]);
    c.damage(image, ebr2);

    const DiskLayout layout = ReadImageLayout(image, 512);
    ASSERT_EQ(layout.style, PARTITION_STYLE_MBR);
    EXPECT_EQ(layout.entries.size(), 4 + 4 * c.ebrs_read);
    EXPECT_EQ(layout.volumes().size(), 2 + c.ebrs_read);
    // The link that was not followed is still reported as the disk has it.
    if (c.ebrs_read < 3) {
        EXPECT_TRUE(layout.entries.at(4 * c.ebrs_read + 1).is_container());
    }
    if (c.peer_agrees) ExpectMatchesPeer(layout, PeerDump(image, 512), 512);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, PartitionTableEbrChain,
    ::testing::Values(
        ChainCase{"second_links_back_to_first",
                  [](const std::string& image, std::int64_t ebr2) {
                      WriteBytes(image, ebr2 * 512 + kEntry1, MbrEntryBytes(0, 0x05, 0, 1));
                  },
                  2},
        ChainCase{"first_links_to_itself",
                  [](const std::string& image, std::int64_t) {
                      WriteBytes(image, kExtendedLba * 512 + kEntry1, MbrEntryBytes(0, 0x05, 0, 1));
                  },
                  1},
        ChainCase{"link_outside_extended_partition",
                  [](const std::string& image, std::int64_t ebr2) {
                      // Still on the disk (16 MiB = 32768 sectors), past the extended
                      // partition, and holding a well-formed EBR that must not be used.
                      const std::int64_t outside = kExtendedLba + kExtendedSectors + 100;
                      WriteBytes(image, outside * 512, ReadBytes(image, ebr2 * 512, 512));
                      WriteBytes(image, kExtendedLba * 512 + kEntry1,
                                 MbrEntryBytes(0, 0x05, outside - kExtendedLba, 1));
                  },
                  1},
        ChainCase{"link_past_disk_end",
                  [](const std::string& image, std::int64_t) {
                      WriteBytes(image, kExtendedLba * 512 + kEntry1, MbrEntryBytes(0, 0x05, 0xFFFFFF00u, 1));
                  },
                  1},
        ChainCase{"second_ebr_without_boot_signature",
                  [](const std::string& image, std::int64_t ebr2) {
                      WriteBytes(image, ebr2 * 512 + 510, std::string(2, '\0'));
                  },
                  1},
        // Windows lists an EBR's logical partition before its link, whatever
        // slot each is in.
        ChainCase{"first_ebr_link_before_logical",
                  [](const std::string& image, std::int64_t) {
                      const std::string table = ReadBytes(image, kExtendedLba * 512 + kEntry0, 32);
                      WriteBytes(image, kExtendedLba * 512 + kEntry0, table.substr(16) + table.substr(0, 16));
                  },
                  3, true},
        ChainCase{"second_ebr_is_not_a_table",
                  [](const std::string& image, std::int64_t ebr2) {
                      WriteBytes(image, ebr2 * 512 + kEntry0, std::string(1, '\x37'));
                  },
                  1}),
    test_support::CaseName());

TEST(PartitionTableEbrChainLimit, LongChainIsCut) {
    // 2000 EBRs, each holding one 1-sector logical partition and a link to
    // the next; built by hand because no tool makes such a disk.
    constexpr std::uint32_t kEbrs = 2000;
    const std::uint32_t extended_sectors = 2 * kEbrs;
    std::string disk(static_cast<std::size_t>(1 + extended_sectors) * 512, '\0');
    auto put_table = [&disk](std::uint32_t lba, const std::string& e0, const std::string& e1) {
        disk.replace(lba * 512 + kEntry0, 16, e0);
        disk.replace(lba * 512 + kEntry1, 16, e1);
        disk[lba * 512 + 510] = '\x55';
        disk[lba * 512 + 511] = '\xAA';
    };
    put_table(0, MbrEntryBytes(0, 0x0F, 1, extended_sectors), std::string(16, '\0'));
    for (std::uint32_t i = 0; i < kEbrs; ++i) {
        const std::string link = i + 1 < kEbrs ? MbrEntryBytes(0, 0x05, 2 * (i + 1), 2) : std::string(16, '\0');
        put_table(1 + 2 * i, MbrEntryBytes(0, 0x83, 1, 1), link);
    }
    ts::TempDir dir;
    ts::WriteWholeFile(dir.file("chain.img"), disk);
    const DiskLayout layout = ReadImageLayout(dir.file("chain.img"), 512);
    ASSERT_EQ(layout.entries.size(), 4 + 4 * dev::kMaxEbrChain);
    EXPECT_EQ(layout.volumes().size(), dev::kMaxEbrChain);
    EXPECT_EQ(layout.volumes().back().start, static_cast<std::int64_t>(2 * dev::kMaxEbrChain) * 512);
    EXPECT_EQ(layout.volumes().back().number, dev::kMaxEbrChain);
}

// ---------------------------------------------------------------------------
// GPT.

int SgdiskTableSize(const std::string& image) {
    const ts::CommandResult result = ts::Run("sgdisk -p " + ts::Quote(image));
    const std::string marker = "holds up to ";
    const auto at = result.output.find(marker);
    if (at == std::string::npos) {
        ADD_FAILURE() << result.output;
        return -1;
    }
    return std::stoi(result.output.substr(at + marker.size()));
}

TEST(PartitionTableGpt, GapsNamesTypesAndAttributesMatchSgdisk) {
    REQUIRE_PEER_TOOLS();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    ts::MakeSparseFile(image, 8 * kMiB);
    const std::string long_name(36, 'N');  // fills the name field: no terminating NUL on disk
    RunOrFail("sgdisk -a 8 -n 1:2048:+1M -t 1:EF00 -c 1:'EFI system' "
              "-n 3:0:+1M -t 3:0700 -c 3:'Données' -A 3:set:0 -A 3:set:63 "
              "-n 4:0:+512K -t 4:0C01 -c 4:" + long_name + " "
              "-n 6:0:+512K -t 6:8300 -c 6:root -n 7:0:+512K -t 7:2700 " + ts::Quote(image));
    if (HasFatalFailure()) return;
    const PeerLayout peer = PeerDump(image, 512);
    const DiskLayout layout = ReadImageLayout(image, 512);
    ExpectMatchesPeer(layout, peer, 512);
    EXPECT_EQ(layout.max_partition_count, static_cast<std::uint32_t>(SgdiskTableSize(image)));
    ASSERT_EQ(layout.entries.size(), 5u);

    EXPECT_EQ(layout.entries[0].type_guid, dev::kGptEfiSystem);
    EXPECT_EQ(layout.entries[1].type_guid, dev::kGptBasicData);
    EXPECT_EQ(layout.entries[2].type_guid, dev::kGptMsReserved);
    EXPECT_EQ(layout.entries[3].type_guid, dev::kGptLinuxData);
    EXPECT_EQ(layout.entries[4].type_guid, dev::kGptMsRecovery);
    EXPECT_EQ(layout.entries[1].attributes, 1u | (1ull << 63));
    EXPECT_EQ(peer.partitions[1].attrs, "RequiredPartition GUID:63");
    EXPECT_EQ(layout.entries[2].name.size(), 36u);
    EXPECT_EQ(layout.entries[1].name, u"Données");

    const std::vector<PartitionRecord> volumes = layout.volumes();
    ASSERT_EQ(volumes.size(), 4u);  // the Microsoft Reserved partition carries no volume
    for (const PartitionRecord& v : volumes) EXPECT_FALSE(v.type_guid == dev::kGptMsReserved);
}

TEST(PartitionTableGpt, MorePartitionsThanOneLayoutRecordHolds) {
    REQUIRE_PEER_TOOLS();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    ts::MakeSparseFile(image, 4 * kMiB);
    // 130 partitions in a 256-entry array (the array spans 64 sectors).
    RunOrFail("args=''; for i in $(seq 1 130); do args=\"$args -n $i:0:+16K -c $i:part$i\"; done; "
              "sgdisk -a 8 --resize-table=256 $args " + ts::Quote(image) + " >/dev/null");
    if (HasFatalFailure()) return;
    const DiskLayout layout = ReadImageLayout(image, 512);
    ExpectMatchesPeer(layout, PeerDump(image, 512), 512);
    EXPECT_EQ(layout.entries.size(), 130u);
    EXPECT_EQ(layout.max_partition_count, 256u);
    EXPECT_EQ(SgdiskTableSize(image), 256);
}

// The entry size is the header's to choose; rewrite sgdisk's 128 x 128-byte
// array as 64 x 256-byte entries and fix up both CRCs.
TEST(PartitionTableGpt, HonoursEntrySizeFromTheHeader) {
    REQUIRE_PEER_TOOLS();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    ts::MakeSparseFile(image, 8 * kMiB);
    RunOrFail("sgdisk -a 8 -n 1:0:+1M -c 1:one -n 2:0:+1M -c 2:two -n 5:0:+1M -c 5:five " + ts::Quote(image));
    if (HasFatalFailure()) return;
    const PeerLayout peer = PeerDump(image, 512);

    std::string header = ReadBytes(image, 512, 512);
    const std::int64_t array_offset = static_cast<std::int64_t>(LoadLe64(&header[72])) * 512;
    ASSERT_EQ(LoadLe32(&header[80]), 128u);
    ASSERT_EQ(LoadLe32(&header[84]), 128u);
    const std::string narrow = ReadBytes(image, array_offset, 128 * 128);
    std::string wide(64 * 256, '\0');
    for (int i = 0; i < 64; ++i) wide.replace(i * 256, 128, narrow.substr(i * 128, 128));
    WriteBytes(image, array_offset, wide);
    StoreLe32(&header[80], 64);
    StoreLe32(&header[84], 256);
    StoreLe32(&header[88], dev::Crc32(wide.data(), wide.size()));
    StoreLe32(&header[16], dev::GptHeaderCrc32(header.data(), LoadLe32(&header[12])));
    WriteBytes(image, 512, header);
    // The backup still describes 128-byte entries; make sure it is not what we read.
    WriteBytes(image, 8 * kMiB - 512, std::string(512, '\0'));

    const DiskLayout layout = ReadImageLayout(image, 512);
    ExpectMatchesPeer(layout, peer, 512);
    EXPECT_EQ(layout.max_partition_count, 64u);
}

// ---------------------------------------------------------------------------
// Damaged GPTs: the backup copy, then the MBR, are the fallbacks.

enum class Outcome { kOriginalGpt, kMbrFallback };

struct Geometry {
    std::string image;
    std::int64_t backup_header;  // byte offsets
    std::int64_t backup_array;
};

struct GptDamageCase {
    const char* name;
    std::function<void(const Geometry&)> damage;
    Outcome outcome;
    bool peer_agrees;  // sfdisk reads the damaged image the same way
};

// Rewrites the primary header through `edit` and gives it a valid CRC again,
// so only the field checks can reject it. The disk GUID is changed as well:
// a parser that believed the header would report the wrong one.
void EditPrimaryHeader(const std::string& image, const std::function<void(std::string&)>& edit) {
    std::string header = ReadBytes(image, 512, 512);
    header[56] = static_cast<char>(header[56] ^ 0xFF);
    edit(header);
    const std::uint32_t size = LoadLe32(&header[12]);
    StoreLe32(&header[16], dev::GptHeaderCrc32(header.data(), std::clamp<std::uint32_t>(size, 92, 512)));
    WriteBytes(image, 512, header);
}

constexpr std::int64_t kDamageDiskSize = 8 * kMiB;

// One sgdisk-made disk for every case (sgdisk pauses a second after each
// write); each case damages its own copy.
class PartitionTableGptDamage : public ::testing::TestWithParam<GptDamageCase> {
protected:
    static void SetUpTestSuite() {
        if (!HavePeerTools()) return;
        pristine_dir_ = new ts::TempDir;
        const std::string image = pristine_dir_->file("pristine.img");
        ts::MakeSparseFile(image, kDamageDiskSize);
        RunOrFail("sgdisk -a 8 -n 1:2048:+1M -t 1:0700 -c 1:first -n 2:0:+2M -t 2:8300 -c 2:second " +
                  ts::Quote(image));
    }
    static void TearDownTestSuite() {
        delete pristine_dir_;
        pristine_dir_ = nullptr;
    }
    static std::string pristine() { return pristine_dir_->file("pristine.img"); }

    static ts::TempDir* pristine_dir_;
};

ts::TempDir* PartitionTableGptDamage::pristine_dir_ = nullptr;

TEST_P(PartitionTableGptDamage, FallsBackToWhatStillChecksOut) {
    REQUIRE_PEER_TOOLS();
    const GptDamageCase& c = GetParam();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    constexpr std::int64_t kSize = kDamageDiskSize;
    std::filesystem::copy_file(pristine(), image);
    const PeerLayout original = PeerDump(image, 512);
    ASSERT_EQ(original.partitions.size(), 2u) << "sgdisk did not partition the disk";
    const std::string backup = ReadBytes(image, kSize - 512, 512);
    const Geometry geometry{image, kSize - 512, static_cast<std::int64_t>(LoadLe64(&backup[72])) * 512};
    c.damage(geometry);

    const DiskLayout layout = ReadImageLayout(image, 512);
    if (c.outcome == Outcome::kOriginalGpt) {
        ExpectMatchesPeer(layout, original, 512);
    } else {
        // The protective MBR as it is on disk: one 0xEE entry from LBA 1 over
        // the disk as it was when partitioned.
        ASSERT_EQ(layout.style, PARTITION_STYLE_MBR);
        ASSERT_EQ(layout.entries.size(), 4u);
        EXPECT_EQ(layout.entries[0].mbr_type, 0xEE);
        EXPECT_EQ(layout.entries[0].start, 512);
        EXPECT_EQ(layout.entries[0].length, kSize - 512);
        EXPECT_FALSE(layout.entries[0].recognized);
        EXPECT_EQ(layout.entries[0].number, 1u);
        EXPECT_TRUE(layout.volumes().empty());
        for (int i = 1; i < 4; ++i) EXPECT_TRUE(layout.entries[i].is_empty());
    }
    if (c.peer_agrees) ExpectMatchesPeer(layout, PeerDump(image, 512), 512);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, PartitionTableGptDamage,
    ::testing::Values(
        GptDamageCase{"primary_header_byte", [](const Geometry& g) { FlipByte(g.image, 512 + 56); },
                      Outcome::kOriginalGpt, true},
        GptDamageCase{"primary_signature", [](const Geometry& g) { WriteBytes(g.image, 512, std::string(8, '\0')); },
                      Outcome::kOriginalGpt, true},
        GptDamageCase{"primary_entry_array_byte", [](const Geometry& g) { FlipByte(g.image, 1024 + 56); },
                      Outcome::kOriginalGpt, true},
        GptDamageCase{"primary_claims_another_lba",
                      [](const Geometry& g) { EditPrimaryHeader(g.image, [](std::string& h) { StoreLe64(&h[24], 2); }); },
                      Outcome::kOriginalGpt, false},
        GptDamageCase{"primary_entry_size_too_small",
                      [](const Geometry& g) {
                          EditPrimaryHeader(g.image, [](std::string& h) {
                              StoreLe32(&h[84], 64);
                              StoreLe32(&h[80], 256);
                          });
                      },
                      Outcome::kOriginalGpt, false},
        GptDamageCase{"primary_entry_count_huge",
                      [](const Geometry& g) { EditPrimaryHeader(g.image, [](std::string& h) { StoreLe32(&h[80], 0x00FFFFFF); }); },
                      Outcome::kOriginalGpt, false},
        GptDamageCase{"primary_array_past_disk_end",
                      [](const Geometry& g) {
                          EditPrimaryHeader(g.image, [](std::string& h) { StoreLe64(&h[72], 16380); });
                      },
                      Outcome::kOriginalGpt, false},
        GptDamageCase{"primary_header_size_over_sector",
                      [](const Geometry& g) { EditPrimaryHeader(g.image, [](std::string& h) { StoreLe32(&h[12], 513); }); },
                      Outcome::kOriginalGpt, false},
        GptDamageCase{"both_headers",
                      [](const Geometry& g) {
                          FlipByte(g.image, 512 + 56);
                          FlipByte(g.image, g.backup_header + 56);
                      },
                      Outcome::kMbrFallback, true},
        GptDamageCase{"both_entry_arrays",
                      [](const Geometry& g) {
                          FlipByte(g.image, 1024 + 56);
                          FlipByte(g.image, g.backup_array + 56);
                      },
                      Outcome::kMbrFallback, true},
        // The disk grew after partitioning: the backup is where the primary
        // says, not at the new last LBA.
        GptDamageCase{"primary_damaged_on_grown_disk",
                      [](const Geometry& g) {
                          FlipByte(g.image, 512 + 56);
                          std::filesystem::resize_file(g.image, 12 * kMiB);
                      },
                      Outcome::kOriginalGpt, false},
        // The image was cut short: no backup, and the 0xEE entry runs past the end.
        GptDamageCase{"primary_damaged_on_truncated_disk",
                      [](const Geometry& g) {
                          FlipByte(g.image, 512 + 56);
                          std::filesystem::resize_file(g.image, 6 * kMiB);
                      },
                      Outcome::kMbrFallback, false}),
    test_support::CaseName());

// ---------------------------------------------------------------------------
// Disks with no table at all.

struct RawCase {
    const char* name;
    std::string disk;
    std::uint32_t sector_size;
};

std::string BootSectorWithGarbage() {
    std::string sector(512, '\0');
    for (std::size_t i = 0; i < 446; ++i) sector[i] = static_cast<char>(i * 7);
    // Boot code running into the table area: flags that no table has.
    sector.replace(446, 16, MbrEntryBytes(0x4C, 0x83, 2048, 2048));
    sector[510] = '\x55';
    sector[511] = '\xAA';
    return sector + std::string(2 * kMiB, '\0');
}

class PartitionTableRaw : public ::testing::TestWithParam<RawCase> {};

TEST_P(PartitionTableRaw, IsReportedRaw) {
    const RawCase& c = GetParam();
    ts::TempDir dir;
    ts::WriteWholeFile(dir.file("disk.img"), c.disk);
    const DiskLayout layout = ReadImageLayout(dir.file("disk.img"), c.sector_size);
    EXPECT_EQ(layout.style, PARTITION_STYLE_RAW);
    EXPECT_TRUE(layout.entries.empty());
}

INSTANTIATE_TEST_SUITE_P(
    NoTable, PartitionTableRaw,
    ::testing::Values(RawCase{"zeroed", std::string(4 * kMiB, '\0'), 512},
                      RawCase{"zeroed_4096", std::string(4 * kMiB, '\0'), 4096},
                      RawCase{"boot_signature_over_boot_code", BootSectorWithGarbage(), 512},
                      RawCase{"shorter_than_a_sector", std::string(300, '\0') + "\x55\xAA", 512},
                      RawCase{"sector_size_zero", BootSectorWithGarbage(), 0},
                      RawCase{"sector_size_not_a_power_of_two", BootSectorWithGarbage(), 520}),
    test_support::CaseName());

TEST(PartitionTableRawPeer, ZeroedImageHasNoTableForSfdiskEither) {
    REQUIRE_PEER_TOOLS();
    ts::TempDir dir;
    const std::string image = dir.file("disk.img");
    ts::MakeSparseFile(image, 4 * kMiB);
    EXPECT_NE(ts::Run("sfdisk --dump " + ts::Quote(image)).exit_code, 0);
    EXPECT_EQ(ReadImageLayout(image, 512).style, PARTITION_STYLE_RAW);
}

// ---------------------------------------------------------------------------
// GUID text and CRC-32.

struct GuidTextCase {
    const char* text;
    bool valid;
};

class PartitionTableGuidText : public ::testing::TestWithParam<GuidTextCase> {};

TEST_P(PartitionTableGuidText, ParsesOnlyWellFormedText) {
    GUID guid{};
    EXPECT_EQ(dev::GuidFromString(GetParam().text, guid), GetParam().valid);
    if (GetParam().valid) {
        EXPECT_EQ(guid, dev::kGptBasicData);
    } else {
        EXPECT_TRUE(dev::IsNullGuid(guid)) << "a rejected text must leave the GUID alone";
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, PartitionTableGuidText,
                         ::testing::Values(GuidTextCase{"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", true},
                                           GuidTextCase{"{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}", true},
                                           GuidTextCase{"{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", false},
                                           GuidTextCase{"EBD0A0A2-B9E5-4433-87C0-68B6B72699C", false},
                                           GuidTextCase{"EBD0A0A2-B9E5-4433-87C0-68B6B72699C77", false},
                                           GuidTextCase{"EBD0A0A2-B9E5-4433-87C068B6B72699C7-", false},
                                           GuidTextCase{"EBD0A0A2-B9E5-4433-87G0-68B6B72699C7", false},
                                           GuidTextCase{"", false}));

TEST(PartitionTableGuidText, FormatsUpperCaseWithBraces) {
    EXPECT_EQ(dev::GuidToString(dev::kGptMsReserved), "{E3C9E316-0B5C-4DB8-817D-F92DF00215AE}");
    GUID round{};
    ASSERT_TRUE(dev::GuidFromString(dev::GuidToString(dev::kGptEfiSystem), round));
    EXPECT_EQ(round, dev::kGptEfiSystem);
}

TEST(PartitionTableCrc32, MatchesTheIeeeCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(dev::Crc32(check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(dev::Crc32(nullptr, 0), 0u);
    // Continuing a running value gives the same as one pass.
    EXPECT_EQ(dev::Crc32(check.data() + 4, 5, dev::Crc32(check.data(), 4)), 0xCBF43926u);
}

}  // namespace
