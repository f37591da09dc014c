#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "disk/checksum/chksums.h"
#include "disk/checksum/md5.h"
#include "support/test_support.h"

namespace {

using test_support::Quote;
using test_support::Run;
using test_support::TempDir;
using test_support::WriteWholeFile;
using test_support::RandomBytes;

std::string Md5Sum(const std::string& path) {
    auto result = Run("md5sum " + Quote(path));
    EXPECT_EQ(result.exit_code, 0) << result.output;
    std::string digest = result.output.substr(0, 32);
    for (auto& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return digest;
}

TEST(Md5, KnownDigestsOfMemory) {
    struct Case {
        std::string input, digest;
    } cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {std::string(1000000, 'a'), "7707D6AE4E027C70EEA2A935C2296F21"},
    };
    for (const auto& c : cases) {
        disk::TMD5 md5;
        md5.Update(c.input.data(), c.input.size());
        EXPECT_EQ(md5.DigestHex(), c.digest) << c.input.size();
    }
}

TEST(Md5, DigestIsKeptAndMoreBytesMayFollow) {
    disk::TMD5 md5;
    md5.Update("ab", 2);
    const std::string partial = md5.DigestHex();
    EXPECT_EQ(md5.DigestHex(), partial);  // no new data: the same digest
    md5.Update("c", 1);
    EXPECT_EQ(md5.DigestHex(), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5, PiecesOfAnyLengthGiveTheDigestOfTheWhole) {
    const std::string bytes = RandomBytes(10000, 1);
    disk::TMD5 whole;
    whole.Update(bytes.data(), bytes.size());
    for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u, 4096u}) {
        disk::TMD5 md5;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            md5.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
        EXPECT_EQ(md5.DigestHex(), whole.DigestHex()) << piece;
    }
}

// Files around the sizes where blocks, views and buffers end, against md5sum.
TEST(Md5, FilesAgreeWithMd5sum) {
    TempDir dir;
    for (std::size_t size : {0u, 1u, 55u, 56u, 64u, 65535u, 65536u, 65537u, 1048576u, 1048577u, 3145728u + 17}) {
        const std::string path = dir.file("f" + std::to_string(size) + ".img");
        WriteWholeFile(path, RandomBytes(size, static_cast<unsigned>(size)));
        EXPECT_EQ(disk::MD5File(path), Md5Sum(path)) << size;
    }
}

TEST(Md5, AMissingFileIsAnError) {
    TempDir dir;
    try {
        disk::MD5File(dir.file("missing.img"));
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.img"), std::string::npos) << e.what();
    }
}

TEST(Checksum, WordsAreSummedAndAPartialLastWordIsPadded) {
    struct Case {
        std::string bytes;
        std::uint32_t sum;
    } cases[] = {
        {"", 0},
        {std::string("\x01\x00\x00\x00", 4), 1},
        {std::string("\x01\x00\x00\x00\x02\x00", 6), 3},  // 02 00 padded to the word 2
        {std::string("\xff\xff\xff\xff\x02\x00\x00\x00", 8), 1},  // wraps modulo 2^32
        {std::string("\x05", 1), 5},
    };
    for (const auto& c : cases) EXPECT_EQ(disk::SumDwords(c.bytes.data(), c.bytes.size(), 0), c.sum) << c.bytes.size();
}

TEST(Checksum, AStreamSumsTheSameWhereverItsReadsBreak) {
    const std::string bytes = RandomBytes(200003, 7);
    const std::uint32_t whole = disk::SumDwords(bytes.data(), bytes.size(), 0);
    for (std::size_t piece : {1u, 3u, 4u, 5u, 65536u, 65537u}) {
        std::size_t at = 0;
        const std::uint32_t sum = disk::StreamChecksum32([&](void* buffer, std::size_t size) -> std::int64_t {
            std::size_t take = std::min({size, piece, bytes.size() - at});
            std::memcpy(buffer, bytes.data() + at, take);
            at += take;
            return static_cast<std::int64_t>(take);
        });
        EXPECT_EQ(sum, whole) << piece;
    }
    EXPECT_THROW(disk::StreamChecksum32([](void*, std::size_t) -> std::int64_t { return -1; }), std::runtime_error);
}

TEST(Checksum, FileChecksumStartsAtTheOffset) {
    TempDir dir;
    const std::string bytes = RandomBytes(70001, 3);
    WriteWholeFile(dir.file("boot.bin"), bytes);
    EXPECT_EQ(disk::FileChecksum32(dir.file("boot.bin"), 64), disk::SumDwords(bytes.data() + 64, bytes.size() - 64, 0));
}

}  // namespace
