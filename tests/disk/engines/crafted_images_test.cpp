// The conversions over images made to hurt a reader (cut QCOW2 files, VMDK
// extents that lead elsewhere, an EWF set with a foreign segment, a VDI
// header that counts far too many blocks) and a devio peer of no size: each
// refused with a clear message, and the destination left byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>

#include "disk/engines/convert.h"
#include "disk/engines/net_transfer.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/os/system_facts.h"
#include "support/case_name.h"
#include "support/copy_doubles.h"
#include "support/crafted_images.h"
#include "support/embedded_machine.h"
#include "support/net_peers.h"
#include "support/scoped_environment.h"

using namespace disk;
namespace ts = test_support;

namespace {

using Converter = CopyResult (*)(const OperationContext&, const std::string&, const std::string&);

Converter ConverterOf(const std::string& kind) {
    if (kind == "QCOW") return QcowToRaw;
    if (kind == "VMDK") return VmdkToRaw;
    if (kind == "EWF") return EwfToRaw;
    return VdiToRaw;
}

class CraftedImages : public ::testing::TestWithParam<ts::CraftedImage> {
protected:
    void SetUp() override {
        for (const char* tool : {"qemu-img", "ewfacquire"})
            if (!ts::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
        ui_.set_default_confirm(true);
        context_.status = &posts_;
        context_.cancel = &cancel_;
    }
    std::vector<std::string> told() const { return ts::Told(ui_); }

    ts::EmbeddedMachine machine_{{}};
    // Read as the program reads them: through children of the built program.
    ts::ScopedEnvironment reader_{"TARNOVELL_IMAGE_READER", TARNOVELL_EXECUTABLE};
    ts::TempDir dir_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    ts::RecordedPosts posts_;
    std::atomic<bool> cancel_{false};
    OperationContext context_;
};

TEST_P(CraftedImages, AreRefusedWithAClearMessageAndTheDestinationIsLeftAsItWas) {
    const ts::CraftedImage& c = GetParam();
    const std::string destination = dir_.file(c.destination);
    ts::Run("head -c 1048576 /dev/urandom > " + ts::Quote(destination));
    const std::string image = c.make(dir_.path().string(), destination);
    const std::string before = ts::ReadWholeFile(destination);

    EXPECT_EQ(ConverterOf(c.kind)(context_, image, destination), CopyResult::Failed);
    const auto texts = told();
    ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
    EXPECT_NE(texts[0].find(c.told), std::string::npos) << texts[0];
    EXPECT_EQ(ts::ReadWholeFile(destination), before);
    // Nothing beside it either: no half-written replacement is left.
    int files_named_out = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        files_named_out += entry.path().filename().string().find(c.destination) != std::string::npos;
    EXPECT_EQ(files_named_out, 1);
}

INSTANTIATE_TEST_SUITE_P(Converter, CraftedImages, ::testing::ValuesIn(ts::CraftedImages()),
                         test_support::CaseName());

TEST_F(CraftedImages, ADevioPeerOfNoSizeIsAFailureAndNothingIsWritten) {
    const std::string destination = dir_.file("received.raw");
    ts::WriteWholeFile(destination, "kept");
    ts::DevioServer peer(std::string(), 0);
    const NetTransferResult result = NetReceiveDevio(context_, destination, "127.0.0.1", peer.port());
    EXPECT_EQ(result.result, CopyResult::Failed);
    ASSERT_EQ(told().size(), 1u) << testing::PrintToString(told());
    EXPECT_EQ(told()[0], "the devio peer reports a device of size 0: nothing to copy");
    EXPECT_EQ(ts::ReadWholeFile(destination), "kept");
    for (const auto& post : posts_.all()) EXPECT_EQ(post.text.rfind("Done", 0), std::string::npos) << post.text;
}

// A library that faults on an image past our check takes only its reader
// child with it: the conversion ends with a clear message, the program goes
// on, and the destination is left as it was. The reader here opens as a
// real one would and dies of SIGSEGV at the first read.
TEST_F(CraftedImages, AReaderThatFaultsEndsTheConversionNotTheProgram) {
    const std::string reader = dir_.file("faulting-reader");
    ts::WriteWholeFile(reader,
                       "#!/bin/sh\n"
                       "printf '\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\020\\000\\000\\000"
                       "\\000\\000\\000\\000\\000\\000'\n"
                       "head -c 16 >/dev/null\nkill -SEGV $$\n");
    std::filesystem::permissions(reader, std::filesystem::perms::owner_all);
    ts::ScopedEnvironment faulting("TARNOVELL_IMAGE_READER", reader.c_str());
    const std::string image = ts::crafted::TruncatedQcow2(dir_.path().string(), 100);
    const std::string destination = dir_.file("out.raw");
    ts::WriteWholeFile(destination, "kept");

    EXPECT_EQ(QcowToRaw(context_, image, destination), CopyResult::Failed);
    const auto texts = told();
    ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
    EXPECT_NE(texts[0].find("the image library ended while reading " + image + " at 0"), std::string::npos)
        << texts[0];
    EXPECT_NE(texts[0].find("signal 11"), std::string::npos) << texts[0];
    EXPECT_EQ(ts::ReadWholeFile(destination), "kept");
}

// A reader child is a stranger: what it says and does is checked, so that
// one that lies (or was taken over by the image it reads) fails the
// conversion, never the program. Each reader here is a script that answers
// as a real one would, but for its lie.
class LyingReaders : public CraftedImages {
protected:
    // The reader whose script is `body`, run by sh with the reader's
    // arguments ($5 names the memory it shares with us).
    void UseReader(const std::string& body) {
        const std::string reader = dir_.file("lying-reader");
        ts::WriteWholeFile(reader, "#!/bin/sh\n" + body);
        std::filesystem::permissions(reader, std::filesystem::perms::owner_all);
        lying_.emplace("TARNOVELL_IMAGE_READER", reader.c_str());
    }
    // A conversion of an image (any: the reader never reads it) onto a
    // destination that holds "kept".
    CopyResult Convert() {
        ts::WriteWholeFile(destination_, "kept");
        return QcowToRaw(context_, ts::crafted::TruncatedQcow2(dir_.path().string(), 100), destination_);
    }

    // The first answer of a reader that opened a disk of `size` bytes
    // (printf's escapes, 8 bytes little-endian).
    static std::string Hello(const std::string& size) {
        return "printf '\\000\\000\\000\\000\\000\\000\\000\\000" + size + "\\000\\000\\000\\000'\n";
    }

    const std::string destination_ = dir_.file("out.raw");
    std::optional<ts::ScopedEnvironment> lying_;
};

// A reader that cuts the memory it shares with us to nothing would have
// our next copy from it end the program with SIGBUS: the memory is sealed
// at its size, the cut fails, and the reader that then stops answering
// fails the conversion alone.
TEST_F(LyingReaders, OneThatCutsTheMemoryItSharesCannotEndTheProgram) {
    UseReader("truncate -s 0 \"$5\" 2>/dev/null && echo cut >> " + ts::Quote(dir_.file("cuts")) + "\n" +
              Hello("\\000\\000\\000\\004\\000\\000\\000\\000") +  // 64 MiB
              "head -c 16 >/dev/null\nprintf '\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000'\n");
    EXPECT_EQ(Convert(), CopyResult::Failed);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("cuts")));
    ASSERT_EQ(told().size(), 1u) << testing::PrintToString(told());
    EXPECT_NE(told()[0].find("the image library ended while reading"), std::string::npos) << told()[0];
    EXPECT_EQ(ts::ReadWholeFile(destination_), "kept");
}

// 2^63 bytes would be a disk of a negative size, which a copy takes for one
// already complete.
TEST_F(LyingReaders, OneThatTellsADiskOfTwoToTheSixtyThirdBytesIsRefused) {
    UseReader(Hello("\\000\\000\\000\\000\\000\\000\\000\\200") + "head -c 16 >/dev/null\n");
    EXPECT_EQ(Convert(), CopyResult::Failed);
    ASSERT_EQ(told().size(), 1u) << testing::PrintToString(told());
    EXPECT_NE(told()[0].find("a disk of 9223372036854775808 bytes"), std::string::npos) << told()[0];
    EXPECT_EQ(ts::ReadWholeFile(destination_), "kept");
}

// A reader that takes long to open the image (as our check of a large one
// may) keeps the window alive: the wait pumps its messages, and Cancel
// (here, at the third pump) ends it without a word and without waiting for
// the reader.
TEST_F(LyingReaders, TheWaitForOneThatTakesLongPumpsAndStopsOnCancel) {
    UseReader("timeout 60 head -c 1 >/dev/null\n");
    int pumps = 0;
    platform::set_pump([&] {
        if (++pumps == 3) cancel_ = true;
    });
    const CopyResult result = Convert();
    platform::set_pump(nullptr);
    EXPECT_EQ(result, CopyResult::Cancelled);
    EXPECT_EQ(pumps, 3);
    EXPECT_EQ(told(), std::vector<std::string>{});
    EXPECT_EQ(ts::ReadWholeFile(destination_), "kept");
}

// Through the built program's reader, a good image converts as it does in
// this process, byte for byte.
TEST_F(CraftedImages, AGoodImageReadThroughTheReaderChildComesBackWhole) {
    const std::string raw = dir_.file("in.raw"), image = dir_.file("good.qcow2"), out = dir_.file("out.raw");
    ts::Run("head -c 5000000 /dev/urandom > " + ts::Quote(raw) + " && truncate -s 9M " + ts::Quote(raw) +
            " && qemu-img convert -f raw -O qcow2 " + ts::Quote(raw) + " " + ts::Quote(image));
    EXPECT_EQ(QcowToRaw(context_, image, out), CopyResult::Completed) << testing::PrintToString(told());
    EXPECT_TRUE(ts::ReadWholeFile(out) == ts::ReadWholeFile(raw));
}

// The foreign segment is what ewfverify finds too: the set's own MD5 no
// longer matches its data, while every chunk passes its checksum.
TEST_F(CraftedImages, AForeignSegmentIsWhatEwfverifyRefusesToo) {
    if (!ts::HaveTool("ewfverify")) GTEST_SKIP() << "ewfverify is not installed";
    const std::string set = ts::crafted::EwfWithForeignSegment(dir_.path().string());
    const ts::CommandResult verified = ts::Run("ewfverify -q " + ts::Quote(set));
    EXPECT_NE(verified.exit_code, 0) << verified.output;
    EXPECT_NE(verified.output.find("FAILURE"), std::string::npos) << verified.output;
}

// A descriptor our check passes but libvmdk refuses (it has no section
// headings), read in this process: refused with the library's text, and
// (in the sanitizer build) nothing the failed open made is left behind.
TEST_F(CraftedImages, AVmdkTheLibraryCannotOpenIsRefusedAndLeaksNothing) {
    ts::ScopedEnvironment in_process("TARNOVELL_IMAGE_READER", "-");
    ts::Run("head -c 1048576 /dev/urandom > " + ts::Quote(dir_.file("disk-flat.vmdk")));
    ts::WriteWholeFile(dir_.file("disk.vmdk"), "version=1\ncreateType=\"monolithicFlat\"\nRW 2048 FLAT \"disk-flat.vmdk\" 0\n");
    EXPECT_EQ(VmdkToRaw(context_, dir_.file("disk.vmdk"), dir_.file("out.raw")), CopyResult::Failed);
    ASSERT_EQ(told().size(), 1u) << testing::PrintToString(told());
    EXPECT_EQ(told()[0].rfind("libvmdk_handle_open failed: ", 0), 0u) << told()[0];
}

// A set that stores SHA1 beside MD5 (ewfacquire -d sha1) is read whole and
// passes both: the hashes we compute are the ones the acquisition stored.
TEST_F(CraftedImages, ASetWithMd5AndSha1PassesBothWhenReadWhole) {
    const std::string raw = dir_.file("in.raw"), out = dir_.file("out.raw");
    // Whole sectors: of a file that ends inside one, ewfacquire stores hashes
    // of bytes the set does not hold (ewfverify cannot verify such a set).
    ts::Run("head -c 3145728 /dev/urandom > " + ts::Quote(raw));
    const ts::CommandResult made =
        ts::Run("ewfacquire -u -q -c fast -d sha1 -t " + ts::Quote(dir_.file("hashed")) + " " + ts::Quote(raw));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    EXPECT_EQ(EwfToRaw(context_, dir_.file("hashed.E01"), out), CopyResult::Completed) << testing::PrintToString(told());
    EXPECT_TRUE(ts::ReadWholeFile(out) == ts::ReadWholeFile(raw));
}

// A header that counts 0x20000000 blocks for a disk of 6 MiB is answered
// from the header alone: under a limit of 256 MiB of address space (a map
// sized by the count would need 2 GiB) this process refuses it as it does
// without one. Run again as a child of its own, with the limit set.
TEST_F(CraftedImages, AVdiCountingFarTooManyBlocksIsRefusedUnderAMemoryLimit) {
    if (const char* limited = std::getenv("TARNOVELL_TEST_UNDER_LIMIT"); limited && *limited) {
        const std::string image = ts::crafted::VdiWithHugeBlockCount(dir_.path().string());
        const std::string destination = dir_.file("out.raw");
        ts::WriteWholeFile(destination, "kept");
        EXPECT_EQ(VdiToRaw(context_, image, destination), CopyResult::Failed);
        ASSERT_EQ(told().size(), 1u);
        EXPECT_NE(told()[0].find("VDI block map lies past the end of the file"), std::string::npos) << told()[0];
        EXPECT_EQ(ts::ReadWholeFile(destination), "kept");
        return;
    }
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit a limit of address space";
#endif
    const std::string self = platform::ExecutablePath();
    const ts::CommandResult child = ts::Run(
        "ulimit -v 262144; TARNOVELL_TEST_UNDER_LIMIT=1 exec " + ts::Quote(self) +
        " --gtest_filter=CraftedImages.AVdiCountingFarTooManyBlocksIsRefusedUnderAMemoryLimit");
    EXPECT_EQ(child.exit_code, 0) << child.output;
    EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
}

}  // namespace
