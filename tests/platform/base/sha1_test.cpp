// SHA-1 against the digests FIPS 180 gives and what sha1sum says of longer
// input fed in uneven pieces.
#include <gtest/gtest.h>

#include <string>

#include "platform/base/sha1.h"
#include "support/test_support.h"

namespace {

std::string Hex(const std::string& data, std::size_t piece = 0) {
    platform::Sha1 sha1;
    if (piece == 0) piece = data.size() + 1;
    for (std::size_t at = 0; at < data.size(); at += piece) sha1.Update(data.data() + at, std::min(piece, data.size() - at));
    const auto digest = sha1.Final();
    return platform::HexDigest(digest.data(), digest.size());
}

TEST(Sha1, GivesTheStandardDigests) {
    EXPECT_EQ(Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST(Sha1, PiecesOfAnySizeGiveWhatSha1sumGives) {
    test_support::TempDir dir;
    const std::string file = dir.file("data");
    test_support::Run("head -c 1000003 /dev/urandom > " + test_support::Quote(file));
    const std::string data = test_support::ReadWholeFile(file);
    const std::string expected = test_support::Run("sha1sum " + test_support::Quote(file) + " | cut -c1-40").output;
    for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{4097}})
        EXPECT_EQ(Hex(data, piece) + "\n", expected) << piece;
}

}  // namespace
