// What the image converter offers and runs: its kinds and filters, the
// destination it proposes (never the source itself), "host:port" fields and
// the routine of every pair of kinds.
#include "tools/convert/convert_plan.h"

#include <gtest/gtest.h>

namespace {

using namespace tarnovell;
using Kinds = std::vector<std::string>;

TEST(ConvertKinds, SourcesAndTheDestinationsEachOffers) {
    EXPECT_EQ(ConvertSourceKinds(), (Kinds{"RAW", "EWF", "DEVIO", "VDI", "VMDK", "VHD", "QCOW", "NETCAT"}));
    EXPECT_EQ(InitialDestinationKinds(), (Kinds{"RAW", "EWF", "DEVIO", "NETCAT"}));
    EXPECT_EQ(DestinationKindsFor("RAW"), (Kinds{"EWF", "DEVIO", "VHD FIXED", "VHD DYNAMIC", "NETCAT", "RAW"}));
    for (const char* source : {"EWF", "DEVIO", "VDI", "VMDK", "VHD", "QCOW", "NETCAT"})
        EXPECT_EQ(DestinationKindsFor(source), Kinds{"RAW"}) << source;
    EXPECT_TRUE(IsNetworkKind("DEVIO"));
    EXPECT_TRUE(IsNetworkKind("NETCAT"));
    EXPECT_FALSE(IsNetworkKind("RAW"));
}

TEST(ConvertKinds, FileFilters) {
    EXPECT_EQ(SourceFilter("RAW"), "Image File (*.img)|*.img");
    EXPECT_EQ(SourceFilter("EWF"), "EWF File (*.ewf)|*.ewf|E01 File (*.e01)|*.e01");
    EXPECT_EQ(SourceFilter("VDI"), "VDI File (*.vdi)|*.vdi");
    EXPECT_EQ(SourceFilter("VMDK"), "VMDK File (*.vmdk)|*.vmdk");
    EXPECT_EQ(SourceFilter("VHD"), "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx");
    EXPECT_EQ(SourceFilter("QCOW"), "QCOW File (*.qcow)|*.qcow|QCOW2 File (*.qcow2)|*.qcow2");
    EXPECT_EQ(SourceFilter("NETCAT"), "");
    EXPECT_EQ(DestinationFilter("RAW"), "Image File (*.img)|*.img");
    EXPECT_EQ(DestinationFilter("VHD FIXED"), "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx");
    EXPECT_EQ(DestinationFilter("VHD DYNAMIC"), DestinationFilter("VHD FIXED"));
    EXPECT_EQ(DestinationFilter("EWF"), "EWF File (*.ewf)|*.ewf");
    EXPECT_EQ(DestinationFilter("DEVIO"), "");
}

TEST(ConvertProposal, OnlyTheLastExtensionOfTheNameIsReplaced) {
    struct Case {
        const char* source;
        const char* proposal;
    };
    for (const Case& c : {Case{"/images/disk.vmdk", "/images/disk.dd"},
                          Case{"/images/disk.VMDK", "/images/disk.dd"},
                          Case{"/images/disk.img.qcow2", "/images/disk.img.dd"},
                          // The extension's text elsewhere in the path stays.
                          Case{"/vmdk.vmdk/a.vmdk", "/vmdk.vmdk/a.dd"},
                          // No extension: one is added, the source is never proposed.
                          Case{"/images/disk", "/images/disk.dd"},
                          Case{"/images.d/disk", "/images.d/disk.dd"},
                          Case{"/images/.hidden", "/images/.hidden.dd"},
                          Case{"C:\\images.x\\disk", "C:\\images.x\\disk.dd"},
                          Case{"/images/disk.dd", "/images/disk.dd.dd"},
                          Case{"/images/disk.DD", "/images/disk.DD.dd"}})
        EXPECT_EQ(ProposedDestination(c.source), c.proposal) << c.source;
}

TEST(ConvertFields, TrailingBackslashAndHostPort) {
    EXPECT_EQ(WithoutTrailingBackslash("\\\\.\\C:\\"), "\\\\.\\C:");
    EXPECT_EQ(WithoutTrailingBackslash("/tmp/x"), "/tmp/x");
    EXPECT_EQ(WithoutTrailingBackslash(""), "");

    struct Case {
        const char* field;
        const char* host;
        const char* port_text;
        std::optional<std::int64_t> port;
    };
    for (const Case& c : {Case{"127.0.0.1:9000", "127.0.0.1", "9000", 9000},
                          // The port is after the last ":".
                          Case{"::1:9000", "::1", "9000", 9000}, Case{"host:1:2", "host:1", "2", 2},
                          Case{"127.0.0.1", "", "127.0.0.1", std::nullopt}, Case{"9000", "", "9000", 9000},
                          Case{"127.0.0.1:", "127.0.0.1", "", std::nullopt},
                          Case{"127.0.0.1:90x", "127.0.0.1", "90x", std::nullopt}}) {
        const HostAndPort split = SplitHostPort(c.field);
        EXPECT_EQ(split.host, c.host) << c.field;
        EXPECT_EQ(split.port_text, c.port_text) << c.field;
        EXPECT_EQ(split.port, c.port) << c.field;
    }
}

TEST(ConvertActions, EveryPairOfTheTable) {
    using A = ConvertAction;
    struct Case {
        const char* source;
        const char* destination;
        A action;
    };
    for (const Case& c : {Case{"RAW", "EWF", A::RawToEwf}, Case{"RAW", "DEVIO", A::NetSendDevio},
                          Case{"RAW", "VHD FIXED", A::VhdWorkerFixed},
                          Case{"RAW", "VHD DYNAMIC", A::VhdWorkerDynamic}, Case{"RAW", "NETCAT", A::NetSendRaw},
                          Case{"RAW", "RAW", A::RestoreRaw}, Case{"EWF", "RAW", A::EwfToRaw},
                          Case{"DEVIO", "RAW", A::NetReceiveDevio}, Case{"VDI", "RAW", A::VdiToRaw},
                          Case{"VMDK", "RAW", A::VmdkToRaw}, Case{"VHD", "RAW", A::VhdWorkerToRaw},
                          Case{"QCOW", "RAW", A::QcowToRaw},
                          Case{"NETCAT", "RAW", A::NetReceiveRaw},
                          // Pairs the table has no row for do nothing.
                          Case{"RAW", "VHD", A::None}, Case{"EWF", "EWF", A::None},
                          Case{"VDI", "NETCAT", A::None}, Case{"", "RAW", A::None}})
        EXPECT_EQ(ConvertActionFor(c.source, c.destination), c.action) << c.source << " " << c.destination;
}

}  // namespace
