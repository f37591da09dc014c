#include "crashreport/codec/program_checksum.h"
#include "crashreport/codec/zip.h"
#include "crashreport/os/modules.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "support/test_support.h"

namespace crashreport {
namespace {

using test_support::HaveTool;
using test_support::Quote;

using test_support::TempDir;
using test_support::WriteWholeFile;

std::string Random(std::size_t size) { return test_support::RandomBytes(size, 7); }

std::string Compress(const std::string& data) {
    std::string packed(DeflateBound(data.size()), '\0');
    const std::size_t size = DeflateText(data.data(), packed.data(), data.size(), packed.size());
    packed.resize(size);
    return packed;
}

TEST(Crc32, GivesThePublishedCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32Add(0xFFFFFFFFu, check.data(), check.size()) ^ 0xFFFFFFFFu, 0xCBF43926u);
    // Updates chain: the same value in two pieces.
    std::uint32_t crc = Crc32Add(0xFFFFFFFFu, check.data(), 4);
    crc = Crc32Add(crc, check.data() + 4, 5);
    EXPECT_EQ(crc ^ 0xFFFFFFFFu, 0xCBF43926u);
}

TEST(Deflate, RoundTripsThroughZlibsOwnInflater) {
    for (const std::string& data : {std::string(), std::string("hello hello hello hello"),
                                    std::string(300000, 'x'), Random(200000)}) {
        const std::string packed = Compress(data);
        ASSERT_GT(packed.size(), 0u);  // even the empty input is one final block
        // An independent raw inflate gives the data back.
        z_stream stream{};
        ASSERT_EQ(inflateInit2(&stream, -15), Z_OK);
        std::string unpacked(data.size() + 1, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
        stream.avail_in = static_cast<uInt>(packed.size());
        stream.next_out = reinterpret_cast<Bytef*>(unpacked.data());
        stream.avail_out = static_cast<uInt>(unpacked.size());
        EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
        unpacked.resize(stream.total_out);
        inflateEnd(&stream);
        EXPECT_EQ(unpacked, data);
        EXPECT_LE(packed.size(), DeflateBound(data.size()));
    }
}

TEST(Deflate, InflateInsistsOnTheExactLength) {
    const std::string data = "the quick brown fox jumps over the lazy dog";
    const std::string packed = Compress(data);
    std::string out(data.size() + 1, '\0');
    EXPECT_EQ(InflateText(packed.data(), out.data(), packed.size(), data.size()), data.size());
    EXPECT_EQ(out.substr(0, data.size()), data);
    EXPECT_EQ(InflateText(packed.data(), out.data(), packed.size(), data.size() + 1), 0u);
    EXPECT_EQ(InflateText(packed.data(), out.data(), packed.size(), data.size() - 1), 0u);
    const std::string corrupt = "\xFF\xFF\xFF\xFF";
    EXPECT_EQ(InflateText(corrupt.data(), out.data(), corrupt.size(), 4), 0u);
}

TEST(Blob, UnpacksOnlyAWholeAndCorrectBlob) {
    const std::string data = "segments, publics and lines";
    const std::string blob = PackBlob(data);
    EXPECT_EQ(UnpackBlob(blob), data);
    std::string bad_crc = blob;
    bad_crc[8] = static_cast<char>(bad_crc[8] ^ 1);
    EXPECT_EQ(UnpackBlob(bad_crc), "");
    std::string bad_length = blob;
    bad_length[0] = static_cast<char>(bad_length[0] + 1);
    EXPECT_EQ(UnpackBlob(bad_length), "");
    EXPECT_EQ(UnpackBlob(blob.substr(0, 12)), "");
    EXPECT_EQ(UnpackBlob(blob.substr(0, blob.size() - 1)), "");
}

TEST(ZipArchive, RealToolsAcceptWhatWeWrite) {
    TempDir dir;
    WriteWholeFile(dir.file("report.txt"), std::string(5000, 'r') + "end");
    WriteWholeFile(dir.file("noise.bin"), Random(70000));
    WriteWholeFile(dir.file("empty.txt"), "");
    const std::string archive = dir.file("out.zip");
    ASSERT_TRUE(WriteZipArchive(archive, {dir.file("report.txt"), dir.file("noise.bin"), dir.file("empty.txt")},
                                {"bugreport.txt", "", "Fehlerbericht \xC3\xBC.txt"}));
    if (HaveTool("unzip")) {
        const auto tested = test_support::Run("unzip -t " + Quote(archive));
        EXPECT_EQ(tested.exit_code, 0) << tested.output;
        EXPECT_NE(tested.output.find("No errors detected"), std::string::npos) << tested.output;
    }
    const auto listed = test_support::Run("python3 -c " +
                            Quote("import zipfile,sys\n"
                                  "z=zipfile.ZipFile(sys.argv[1])\n"
                                  "assert z.testzip() is None\n"
                                  "for i in z.infolist(): print(i.filename, i.file_size, i.flag_bits, i.compress_type)\n") +
                            " " + Quote(archive));
    ASSERT_EQ(listed.exit_code, 0) << listed.output;
    EXPECT_NE(listed.output.find("bugreport.txt 5003 2048 8"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("noise.bin 70000 2048 8"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("Fehlerbericht \xC3\xBC.txt 0 2048 8"), std::string::npos) << listed.output;
    const auto extracted = test_support::Run("cd " + Quote(dir.path().string()) + " && python3 -m zipfile -e out.zip x && cmp x/noise.bin noise.bin");
    EXPECT_EQ(extracted.exit_code, 0) << extracted.output;
}

TEST(ZipArchive, SkipsUnreadableFilesAndLeavesNothingWithoutEntries) {
    TempDir dir;
    WriteWholeFile(dir.file("b.txt"), "bbb");
    const std::string archive = dir.file("one.zip");
    EXPECT_TRUE(WriteZipArchive(archive, {dir.file("missing.txt"), dir.file("b.txt")}));
    const auto listed = test_support::Run("python3 -m zipfile -l " + Quote(archive));
    EXPECT_NE(listed.output.find("b.txt"), std::string::npos) << listed.output;
    EXPECT_EQ(listed.output.find("missing"), std::string::npos) << listed.output;

    const std::string none = dir.file("none.zip");
    EXPECT_FALSE(WriteZipArchive(none, {dir.file("missing.txt")}));
    EXPECT_FALSE(std::filesystem::exists(none));
    EXPECT_FALSE(WriteZipArchive(dir.file("no/such/folder.zip"), {dir.file("b.txt")}));
}

}  // namespace
}  // namespace crashreport

namespace crashreport {
namespace {

TEST(ProgramChecksum, AFileWithoutAWrittenChecksumIsNotJudged) {
    // No slot at all, and a slot nobody wrote (this test program's).
    EXPECT_EQ(VerifyFileChecksum("/bin/true"), ChecksumVerdict::NoChecksum);
    EXPECT_EQ(VerifyFileChecksum(ExecutablePath()), ChecksumVerdict::NoChecksum);
    EXPECT_FALSE(StampFileChecksum("/nonexistent/program"));
}

}  // namespace
}  // namespace crashreport
