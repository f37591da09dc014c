// The image conversions against the tools of each format: images made by
// qemu-img from one raw image with holes and an odd size come back
// byte-identical; EWF sets we write pass ewfverify and ewfexport gives the
// input back; sets ewfacquire wrote are read back. And what must not pass:
// missing parents and segments, encrypted images, damaged chunks, a source
// that is its destination, an old set replaced before the new one is whole.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "disk/copy/copy_endpoints.h"
#include "disk/engines/convert.h"
#include "platform/base/interaction.h"
#include "platform/virtdisk/vhd/vhd_file.h"
#include "support/case_name.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"

using namespace disk;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::Quote;
using test_support::TempDir;

namespace fs = std::filesystem;

namespace {

test_support::CommandResult Shell(const std::string& command) { return test_support::Run(command); }

// An odd size (no whole number of sectors), mostly holes, data in a few places.
constexpr std::int64_t kInputSize = 7000001;

void MakeInput(const std::string& path) {
    test_support::MakeSparseFile(path, kInputSize);
    for (const char* put : {"head -c 1000000 /dev/urandom | dd of=%s bs=1 seek=1234567 conv=notrunc status=none",
                            "head -c 300000 /dev/urandom | dd of=%s bs=1 seek=6700001 conv=notrunc status=none",
                            "printf 'first sector' | dd of=%s conv=notrunc status=none"})
        test_support::RunOn(put, path);
}

// What the person was told (questions left out).
std::vector<std::string> Told(const platform::ScriptedInteraction& ui) {
    std::vector<std::string> texts;
    for (const auto& exchange : ui.log())
        if (exchange.kind == platform::ScriptedInteraction::Exchange::Inform) texts.push_back(exchange.text);
    return texts;
}

bool SameFiles(const std::string& a, const std::string& b) { return Shell("cmp " + Quote(a) + " " + Quote(b)).exit_code == 0; }

// `raw` holds the input and then only zeros up to the end of the image's last sector.
void ExpectInputPadded(const std::string& raw, const std::string& input) {
    EXPECT_EQ(Shell("cmp -n " + std::to_string(kInputSize) + " " + Quote(raw) + " " + Quote(input)).exit_code, 0);
    EXPECT_EQ(fs::file_size(raw), static_cast<std::uintmax_t>((kInputSize + 511) / 512 * 512));
    auto tail = Shell("tail -c +" + std::to_string(kInputSize + 1) + " " + Quote(raw) + " | tr -d '\\000' | wc -c");
    EXPECT_EQ(tail.output, "0\n");
}

class Conversions : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
        ui_.set_default_confirm(true);
        context_.status = &posts_;
        context_.cancel = &cancel_;
        MakeInput(input_);
    }
    std::vector<std::string> texts() const { return Told(ui_); }

    // The machine keeps the overlap check on image files of its own.
    EmbeddedMachine machine_{{}};
    TempDir dir_;
    const std::string input_ = dir_.file("input.raw");
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    test_support::RecordedPosts posts_;
    std::atomic<bool> cancel_{false};
    OperationContext context_;
};

using Converter = CopyResult (*)(const OperationContext&, const std::string&, const std::string&);

struct QemuCase {
    const char* name;
    const char* format;
    const char* options;
    Converter convert;
};

class QemuImages : public Conversions, public ::testing::WithParamInterface<QemuCase> {};

TEST_P(QemuImages, ConvertBackToTheRawImageByteForByte) {
    const QemuCase& c = GetParam();
    const std::string image = dir_.file(std::string("image.") + c.format);
    const std::string options = *c.options ? std::string(" -o ") + c.options : "";
    auto made = Shell("qemu-img convert -f raw -O " + std::string(c.format) + options + " " + Quote(input_) + " " +
                      Quote(image));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    // Named, not probed: qemu-img takes a fixed VHD for a raw file.
    const std::string reference = dir_.file("reference.raw");
    ASSERT_EQ(Shell("qemu-img convert -f " + std::string(c.format) + " -O raw " + Quote(image) + " " + Quote(reference))
                  .exit_code,
              0);

    const std::string out = dir_.file("out.raw");
    EXPECT_EQ(c.convert(context_, image, out), CopyResult::Completed) << testing::PrintToString(texts());
    EXPECT_TRUE(texts().empty()) << testing::PrintToString(texts());
    EXPECT_TRUE(SameFiles(out, reference));
    ExpectInputPadded(out, input_);
    auto status = posts_.texts(platform::OperationKind::Status);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front(), "starting...");
    EXPECT_EQ(status.back().rfind("done in ", 0), 0u) << status.back();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, QemuImages,
    ::testing::Values(QemuCase{"VpcForceSize", "vpc", "force_size=on", VhdiToRaw},
                      QemuCase{"VpcFixed", "vpc", "subformat=fixed,force_size=on", VhdiToRaw},
                      QemuCase{"Vhdx", "vhdx", "subformat=dynamic", VhdiToRaw},
                      QemuCase{"VmdkMonolithicSparse", "vmdk", "subformat=monolithicSparse", VmdkToRaw},
                      QemuCase{"VmdkStreamOptimized", "vmdk", "subformat=streamOptimized", VmdkToRaw},
                      QemuCase{"VmdkTwoGbMaxExtentSparse", "vmdk", "subformat=twoGbMaxExtentSparse", VmdkToRaw},
                      QemuCase{"VmdkMonolithicFlat", "vmdk", "subformat=monolithicFlat", VmdkToRaw},
                      QemuCase{"VmdkTwoGbMaxExtentFlat", "vmdk", "subformat=twoGbMaxExtentFlat", VmdkToRaw},
                      QemuCase{"Qcow2SmallClusters", "qcow2", "cluster_size=512", QcowToRaw},
                      QemuCase{"Qcow2Compressed", "qcow2", "compression_type=zlib -c", QcowToRaw},
                      QemuCase{"VhdxFixed", "vhdx", "subformat=fixed", VhdiToRaw},
                      QemuCase{"Qcow2Compat11", "qcow2", "compat=1.1", QcowToRaw},
                      QemuCase{"Qcow2Compat010", "qcow2", "compat=0.10", QcowToRaw},
                      QemuCase{"QcowVersion1", "qcow", "", QcowToRaw},
                      QemuCase{"VdiStatic", "vdi", "static=on", VdiToRaw},
                      QemuCase{"VdiDynamic", "vdi", "static=off", VdiToRaw}),
    test_support::CaseName());

// ---- layered and refused images ---------------------------------------------------

TEST_F(Conversions, QcowOverlayReadsThroughItsBackingFileAndIsRefusedWithoutIt) {
    const std::string base = dir_.file("base.qcow2"), overlay = dir_.file("overlay.qcow2");
    ASSERT_EQ(Shell("qemu-img convert -f raw -O qcow2 " + Quote(input_) + " " + Quote(base)).exit_code, 0);
    ASSERT_EQ(Shell("qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 " + Quote(overlay) + " && qemu-io -c 'write -P 0x41 "
                  "4096 8192' " + Quote(overlay) + " >/dev/null").exit_code,
              0);
    const std::string reference = dir_.file("reference.raw"), out = dir_.file("out.raw");
    ASSERT_EQ(Shell("qemu-img convert -O raw " + Quote(overlay) + " " + Quote(reference)).exit_code, 0);
    EXPECT_EQ(QcowToRaw(context_, overlay, out), CopyResult::Completed) << testing::PrintToString(texts());
    EXPECT_TRUE(SameFiles(out, reference));

    fs::remove(base);
    fs::remove(out);
    EXPECT_EQ(QcowToRaw(context_, overlay, out), CopyResult::Failed);
    EXPECT_EQ(texts(), std::vector<std::string>{"qcow backing file not found: base.qcow2"});
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Conversions, EncryptedQcowIsRefused) {
    const std::string image = dir_.file("secret.qcow2");
    // AES rather than LUKS: LUKS times its key derivation, which fails on a busy machine.
    auto made = Shell("qemu-img convert -f raw -O qcow2 --object secret,id=key,data=pass -o "
                      "encrypt.format=aes,encrypt.key-secret=key " +
                      Quote(input_) + " " + Quote(image));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    EXPECT_EQ(QcowToRaw(context_, image, dir_.file("out.raw")), CopyResult::Failed);
    EXPECT_EQ(texts(), std::vector<std::string>{"encrypted qcow images are not supported"});
}

TEST_F(Conversions, DifferencingVhdReadsThroughItsParentAndIsRefusedWithoutIt) {
    const std::string parent = dir_.file("parent.vhd"), child = dir_.file("child.vhd");
    ASSERT_EQ(Shell("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(input_) + " " +
                  Quote(parent)).exit_code,
              0);
    ASSERT_EQ(platform::virtdisk::CreateDifferencingVhd(child, parent), 0u);
    const std::string out = dir_.file("out.raw");
    EXPECT_EQ(VhdiToRaw(context_, child, out), CopyResult::Completed) << testing::PrintToString(texts());
    ExpectInputPadded(out, input_);

    fs::remove(parent);
    fs::remove(out);
    EXPECT_EQ(VhdiToRaw(context_, child, out), CopyResult::Failed);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0].rfind("parent VHD not found: ", 0), 0u) << texts()[0];
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Conversions, AFileTheLibraryCannotOpenIsToldAndNothingIsWritten) {
    const std::string junk = dir_.file("junk.vhd"), out = dir_.file("out.raw");
    test_support::WriteWholeFile(junk, std::string(4096, 'x'));
    test_support::WriteWholeFile(out, "kept");
    struct Case {
        Converter convert;
        const char* prefix;
    };
    // Our own check refuses what a library would be handed, naming the file.
    const std::string refused = junk + ": ";
    for (const Case& c : {Case{VhdiToRaw, refused.c_str()}, Case{VmdkToRaw, refused.c_str()},
                          Case{QcowToRaw, refused.c_str()}, Case{EwfToRaw, "libewf_open failed: "},
                          Case{VdiToRaw, refused.c_str()}}) {
        platform::ScriptedInteraction ui;
        ui.set_default_confirm(true);
        platform::ScopedInteraction scope(ui);
        EXPECT_EQ(c.convert(context_, junk, out), CopyResult::Failed) << c.prefix;
        ASSERT_EQ(Told(ui).size(), 1u) << c.prefix;
        EXPECT_EQ(Told(ui)[0].rfind(c.prefix, 0), 0u) << Told(ui)[0];
        EXPECT_EQ(test_support::ReadWholeFile(out), "kept");
    }
}

TEST_F(Conversions, AnExistingDestinationIsReplacedOnlyWhenThePersonSaysSo) {
    const std::string image = dir_.file("image.qcow2"), out = dir_.file("out.raw");
    ASSERT_EQ(Shell("qemu-img convert -f raw -O qcow2 " + Quote(input_) + " " + Quote(image)).exit_code, 0);
    test_support::WriteWholeFile(out, "kept");
    ui_.answer_confirm(false);
    EXPECT_EQ(QcowToRaw(context_, image, out), CopyResult::Declined);
    EXPECT_EQ(test_support::ReadWholeFile(out), "kept");
    EXPECT_EQ(ui_.log().back().text, "File exists! Delete?");

    EXPECT_EQ(QcowToRaw(context_, image, out), CopyResult::Completed);
    ExpectInputPadded(out, input_);
    // Nothing of the new file was left beside it.
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) entries += entry.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0);
}

TEST_F(Conversions, AnImageIsNotConvertedOntoItself) {
    const std::string image = dir_.file("image.vdi");
    ASSERT_EQ(Shell("qemu-img convert -f raw -O vdi " + Quote(input_) + " " + Quote(image)).exit_code, 0);
    const std::string before = test_support::ReadWholeFile(image);
    EXPECT_EQ(VdiToRaw(context_, image, image), CopyResult::Failed);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_NE(texts()[0].find("are the same"), std::string::npos) << texts()[0];
    EXPECT_EQ(test_support::ReadWholeFile(image), before);
}

TEST_F(Conversions, CancelStopsAConversionAndKeepsWhatWasThere) {
    const std::string image = dir_.file("image.vmdk"), out = dir_.file("out.raw");
    ASSERT_EQ(Shell("qemu-img convert -f raw -O vmdk " + Quote(input_) + " " + Quote(image)).exit_code, 0);
    test_support::WriteWholeFile(out, "kept");
    cancel_ = true;
    EXPECT_EQ(VmdkToRaw(context_, image, out), CopyResult::Cancelled);
    EXPECT_EQ(test_support::ReadWholeFile(out), "kept");
}

// ---- disks as destinations --------------------------------------------------------

TEST(ConversionOntoDisks, AnImageGoesOntoADiskThatHoldsItAndNotOntoOneTooSmall) {
    if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    TempDir dir;
    const std::string input = dir.file("input.raw"), image = dir.file("image.qcow2");
    MakeInput(input);
    ASSERT_EQ(Shell("qemu-img convert -f raw -O qcow2 " + Quote(input) + " " + Quote(image)).exit_code, 0);
    EmbeddedMachine machine({DiskSpec{8 << 20, {}, ""}, DiskSpec{4 << 20, {}, ""}});
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    OperationContext context;

    EXPECT_EQ(QcowToRaw(context, image, "\\\\.\\PhysicalDrive0"), CopyResult::Completed)
        << testing::PrintToString(Told(ui));
    EXPECT_EQ(Shell("cmp -n " + std::to_string(kInputSize) + " " + Quote(input) + " " + Quote(machine.image(0))).exit_code,
              0);
    EXPECT_EQ(fs::file_size(machine.image(0)), 8u << 20);

    EXPECT_EQ(QcowToRaw(context, image, "\\\\.\\PhysicalDrive1"), CopyResult::Failed);
    EXPECT_EQ(Told(ui), std::vector<std::string>{"source is bigger than destination"});
    EXPECT_EQ(Shell("tr -d '\\000' < " + Quote(machine.image(1)) + " | wc -c").output, "0\n");
}

// ---- EWF ------------------------------------------------------------------------

class EwfImages : public Conversions {
protected:
    void SetUp() override {
        Conversions::SetUp();
        if (IsSkipped()) return;
        for (const char* tool : {"ewfverify", "ewfexport", "ewfacquire"})
            if (!test_support::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    // A set ewfacquire writes of `raw`, in segments of at most `segment`.
    std::string Acquire(const std::string& raw, const std::string& base, const std::string& segment = "1.4GiB") {
        auto made = Shell("ewfacquire -u -q -c fast -S " + segment + " -t " + Quote(base) + " " + Quote(raw));
        EXPECT_EQ(made.exit_code, 0) << made.output;
        return base + ".E01";
    }
    std::vector<std::string> Segments(const std::string& base) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fs::path(base).parent_path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(fs::path(base).filename().string() + ".", 0) == 0) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(EwfImages, AnAcquiredSetPassesEwfverifyAndExportsToTheInputWithItsTail) {
    const std::string set = dir_.file("acquired.e01");
    EXPECT_EQ(RawToEwf(context_, input_, set), CopyResult::Completed) << testing::PrintToString(texts());
    EXPECT_TRUE(texts().empty()) << testing::PrintToString(texts());
    const std::string first = dir_.file("acquired.E01");
    auto verified = Shell("ewfverify -q " + Quote(first));
    EXPECT_EQ(verified.exit_code, 0) << verified.output;
    auto info = Shell("ewfinfo " + Quote(first));
    EXPECT_NE(info.output.find("Media size:\t\t6.6 MiB (7000064 bytes)"), std::string::npos) << info.output;
    ASSERT_EQ(Shell("ewfexport -u -q -f raw -t " + Quote(dir_.file("exported")) + " " + Quote(first)).exit_code, 0);
    ExpectInputPadded(dir_.file("exported.raw"), input_);
    auto status = posts_.texts(platform::OperationKind::Status);
    ASSERT_FALSE(status.empty());
    const std::string tail = "ms total:" + std::to_string(kInputSize);
    EXPECT_EQ(status.back().rfind("done in ", 0), 0u) << status.back();
    EXPECT_TRUE(status.back().ends_with(tail)) << status.back();

    // And back through our own reader.
    const std::string restored = dir_.file("restored.raw");
    EXPECT_EQ(EwfToRaw(context_, first, restored), CopyResult::Completed) << testing::PrintToString(texts());
    ExpectInputPadded(restored, input_);
}

TEST_F(EwfImages, SetsEwfacquireWroteAreReadInOneSegmentOrManyAndInEitherCase) {
    const std::string raw = dir_.file("random.raw");
    ASSERT_EQ(Shell("head -c 6291456 /dev/urandom > " + Quote(raw)).exit_code, 0);
    const std::string single = Acquire(raw, dir_.file("single"));
    const std::string multi = Acquire(raw, dir_.file("multi"), "1MiB");
    ASSERT_GE(Segments(dir_.file("multi")).size(), 5u);
    fs::create_directory(dir_.file("lower"));
    for (const auto& name : Segments(dir_.file("multi"))) {
        std::string lower = name;
        lower[lower.size() - 3] = 'e';
        fs::copy_file(dir_.file(name), dir_.file("lower/" + lower));
    }
    for (const std::string& first : {single, multi, dir_.file("lower/multi.e01")}) {
        const std::string out = dir_.file("out.raw");
        EXPECT_EQ(EwfToRaw(context_, first, out), CopyResult::Completed) << first << testing::PrintToString(texts());
        EXPECT_TRUE(SameFiles(out, raw)) << first;
    }
}

TEST_F(EwfImages, AMissingMiddleSegmentIsRefusedBeforeAnythingIsWritten) {
    const std::string raw = dir_.file("random.raw");
    ASSERT_EQ(Shell("head -c 6291456 /dev/urandom > " + Quote(raw)).exit_code, 0);
    const std::string first = Acquire(raw, dir_.file("multi"), "1MiB");
    fs::remove(dir_.file("multi.E03"));
    const std::string out = dir_.file("out.raw");
    EXPECT_EQ(EwfToRaw(context_, first, out), CopyResult::Failed);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_NE(texts()[0].find("missing or damaged"), std::string::npos) << texts()[0];
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(EwfImages, AChunkThatFailsItsChecksumIsReported) {
    const std::string raw = dir_.file("random.raw");
    ASSERT_EQ(Shell("head -c 2097152 /dev/urandom > " + Quote(raw)).exit_code, 0);
    const std::string first = Acquire(raw, dir_.file("damaged"));
    // Stored uncompressed, the random data sits in the file as it is: spoil some of it.
    ASSERT_EQ(Shell("printf '\\377\\377\\377\\377' | dd of=" + Quote(first) + " bs=1 seek=1000000 conv=notrunc "
                  "status=none").exit_code,
              0);
    EXPECT_EQ(EwfToRaw(context_, first, dir_.file("out.raw")), CopyResult::Failed);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0].rfind("checksum errors in the EWF image, sectors: ", 0), 0u) << texts()[0];
}

TEST_F(EwfImages, ANewSetReplacesTheOldOneWholeAndOnlyOnceItIsComplete) {
    const std::string raw = dir_.file("random.raw");
    ASSERT_EQ(Shell("head -c 6291456 /dev/urandom > " + Quote(raw)).exit_code, 0);
    const std::string base = dir_.file("backup");
    Acquire(raw, base, "1MiB");
    const std::vector<std::string> old_segments = Segments(base);
    ASSERT_GE(old_segments.size(), 5u);
    std::string old_bytes;
    for (const auto& name : old_segments) old_bytes += test_support::ReadWholeFile(dir_.file(name));

    // A read that fails half-way: the old set stays as it was, and nothing new is left behind.
    InjectReadFaultForTesting(3 << 20, 512, platform::ERROR_CRC);
    EXPECT_EQ(RawToEwf(context_, input_, base + ".E01"), CopyResult::Failed);
    InjectReadFaultForTesting(0, 0, 0);
    EXPECT_EQ(ui_.log().front().text, "File exists! Delete?");
    EXPECT_EQ(texts(), std::vector<std::string>{"readfile failed"});
    EXPECT_EQ(Segments(base), old_segments);
    std::string now;
    for (const auto& name : old_segments) now += test_support::ReadWholeFile(dir_.file(name));
    EXPECT_EQ(now, old_bytes);
    for (const auto& entry : fs::directory_iterator(dir_.path()))
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();

    // A shorter set in two segments: the later segments of the old one go.
    EwfWriteOptions options;
    options.segment_size = 4 << 20;
    EXPECT_EQ(RawToEwf(context_, input_, base + ".e01", options), CopyResult::Completed)
        << testing::PrintToString(texts());
    EXPECT_EQ(Segments(base), (std::vector<std::string>{"backup.E01", "backup.E02"}));
    auto verified = Shell("ewfverify -q " + Quote(base + ".E01"));
    EXPECT_EQ(verified.exit_code, 0) << verified.output;
    const std::string out = dir_.file("out.raw");
    EXPECT_EQ(EwfToRaw(context_, base + ".E01", out), CopyResult::Completed);
    ExpectInputPadded(out, input_);
}

TEST_F(EwfImages, ASetIsNeitherReadOntoNorWrittenFromItself) {
    const std::string raw = dir_.file("random.raw");
    ASSERT_EQ(Shell("head -c 3145728 /dev/urandom > " + Quote(raw)).exit_code, 0);
    const std::string first = Acquire(raw, dir_.file("self"), "1MiB");
    const std::string third = dir_.file("self.E03");
    ASSERT_TRUE(fs::exists(third));
    const std::string before = test_support::ReadWholeFile(first) + test_support::ReadWholeFile(third);
    EXPECT_EQ(EwfToRaw(context_, first, first), CopyResult::Failed);
    EXPECT_EQ(EwfToRaw(context_, first, third), CopyResult::Failed);  // a later segment of the set
    EXPECT_EQ(RawToEwf(context_, first, first), CopyResult::Failed);
    EXPECT_EQ(RawToEwf(context_, third, dir_.file("self.e01")), CopyResult::Failed);  // from a segment of the set it replaces
    EXPECT_EQ(test_support::ReadWholeFile(first) + test_support::ReadWholeFile(third), before);
    ASSERT_EQ(texts().size(), 4u);
    for (const auto& text : texts()) EXPECT_NE(text.find("are the same"), std::string::npos) << text;
}

}  // namespace
