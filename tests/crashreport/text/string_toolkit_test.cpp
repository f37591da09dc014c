#include "crashreport/text/string_toolkit.h"

#include <gtest/gtest.h>

namespace crashreport {
namespace {

TEST(StringToolkit, LowerCaseTableFoldsOnlyTheFixedLetters) {
    EXPECT_EQ(kLowerCaseTable['A'], 'a');
    EXPECT_EQ(kLowerCaseTable['Z'], 'z');
    EXPECT_EQ(kLowerCaseTable['a'], 'a');
    EXPECT_EQ(kLowerCaseTable[0x8A], 0x9A);
    EXPECT_EQ(kLowerCaseTable[0x8C], 0x9C);
    EXPECT_EQ(kLowerCaseTable[0x8E], 0x9E);
    EXPECT_EQ(kLowerCaseTable[0x9F], 0xFF);
    EXPECT_EQ(kLowerCaseTable[0xC0], 0xE0);
    EXPECT_EQ(kLowerCaseTable[0xDE], 0xFE);
    EXPECT_EQ(kLowerCaseTable[0xD7], 0xD7);  // the multiplication sign has no lower case
    EXPECT_EQ(kLowerCaseTable['@'], '@');
    EXPECT_EQ(kLowerCaseTable[0x8B], 0x8B);
}

TEST(StringToolkit, TrimmingRemovesOnlyBlanksAndControlCharacters) {
    std::string blanks = " \t \r\n ";
    TrimSpacesInPlace(blanks);
    EXPECT_EQ(blanks, "");
    std::string kept = "\t x \xA0";
    TrimSpacesInPlace(kept);
    EXPECT_EQ(kept, "x \xA0");
    EXPECT_EQ(TrimmedCopyW(u"  \u0100 x\u2003"), u"\u0100 x\u2003");
}

TEST(StringToolkit, SearchPositionsAreOneBasedAndZeroMeansNotFound) {
    struct Case {
        const char* sub;
        const char* text;
        int from, to, expected;
    };
    const Case cases[] = {
        {"ab", "xabyab", 6, 1, 5},  // backward: the last match
        {"ab", "xabyab", 1, 6, 2},
        {"ab", "xabyab", 0, 6, 0},
        {"ab", "xabyab", 1, 0, 0},
        {"ab", "xabyab", 3, 6, 5},
        {"ab", "xabyab", 1, 1, 0},  // a match must start between From and To
        {"abc", "ab", 1, 9, 0},
        {"", "ab", 1, 9, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PosInRange(c.sub, c.text, c.from, c.to), c.expected) << c.sub << " in " << c.text;
    EXPECT_EQ(PosTextInRange("AB", "xabyab"), 2);
    EXPECT_EQ(PosTextInRange("\xC4", "x\xE4"), 2);
    EXPECT_EQ(PosInRangeW(u"b", u"abab", 4, 1), 4);
    EXPECT_EQ(FindInPChar("b", "abc", 0, 0, 10, false, 0), 1);
    EXPECT_EQ(FindInPChar("", "abc", 0, 0, 10, false, 0), -1);
    EXPECT_EQ(FindInPChar(nullptr, "abc", 1, 0, 10, false, 0), -1);
}

TEST(StringToolkit, CaseRulesDifferBetweenTableAndCopies) {
    EXPECT_TRUE(SameTextLatin("\xC4x", "\xE4X"));
    EXPECT_FALSE(SameTextLatin("ab", "abc"));
    EXPECT_EQ(UpperCopy("az\xE4\xF6\xFC\xE0"), "AZ\xC4\xD6\xDC\xE0");
    EXPECT_EQ(LowerCopy("AZ\xC4\xD6\xDC\xC0"), "az\xE4\xF6\xFC\xC0");
    EXPECT_EQ(LowerCharLatin('\xC0'), '\xE0');
    EXPECT_TRUE(SameTextWide(u"Ab\u0100", u"aB\u0100"));
    EXPECT_FALSE(SameTextWide(u"\u0100", u"\u0101"));
    EXPECT_EQ(UpperCopyW(u"a\u0101"), u"A\u0101");
}

TEST(StringToolkit, NumbersPadTheWayTheReportNeedsThem) {
    struct Case {
        std::string actual, expected;
    };
    const Case cases[] = {
        {IntToTextPadded(-42, 5, '0'), "-0042"},
        {IntToTextPadded(-42, 5, ' '), "  -42"},
        {IntToTextPadded(-42, -5, ' '), "-42  "},
        {IntToText(INT32_MIN), "-2147483648"},
        {Int64ToText(INT64_MIN), "-9223372036854775808"},
        {IntToText(0), "0"},
        {CardToHex(0), "0"},
        {CardToHex(0xDEADBEEF), "deadbeef"},
        {CardToHexPadded(0x1F, 8, '0'), "$0000001f"},
        {CardToHexPadded(0x1F, 4, ' '), "  $1f"},
        {CardToHexPadded(0x1F, 1, '0'), "$1f"},
        {CardToHexPadded(0, 1, '0'), "$0"},
        {CardToHexPadded(0x1F, -4, '0'), "$1f00"},
        {Int64ToHex((std::uint64_t{1} << 32) | 2), "100000002"},
        {Int64ToHex(0), "0"},
        {PadText("abc", 2, '*'), "abc"},
        {ByteSizeToText(1536, ','), "1,50 KB"},
        {ByteSizeToText(1023, ','), "1023 Bytes"},
        {ByteSizeToText(1048576, ','), "1,00 MB"},
        {ByteSizeToText(-1536, '.'), "1.50 KB"},
        {ByteSizeToText(std::int64_t{3} << 30, ','), "3,00 GB"},
        {PlusMinusText(true) + PlusMinusText(false), "+-"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);
    EXPECT_EQ(CardToHexPaddedW(0x1F, 8, u'0'), u"$0000001f");
    EXPECT_EQ(Int64ToTextPaddedW(-7, 3, u'0'), u"-07");
}

TEST(StringToolkit, ParsingAddsDigitValuesWithoutValidation) {
    EXPECT_EQ(ParseNumberText(false, "123", 3), 123);
    EXPECT_EQ(ParseNumberText(false, "-123", 4), -123);
    EXPECT_EQ(ParseNumberText(true, "fF", 2), 255);
    EXPECT_EQ(ParseNumberText(false, "1x3", 3), 103);  // an unknown character counts as 0
    EXPECT_EQ(ParseNumberText(false, "12345", 2), 12);
    EXPECT_EQ(ParseNumberText(false, nullptr, 3), 0);
    EXPECT_EQ(ParseNumberTextW(true, u"10", 2), 16);
}

TEST(StringToolkit, SplittingAndItemLists) {
    EXPECT_EQ(CountParts("", '|'), 0);
    EXPECT_EQ(CountParts("a", '|'), 1);
    EXPECT_EQ(CountParts("a||b", '|'), 3);
    EXPECT_EQ(GetPart("a|b", 2, '|'), "b");
    EXPECT_EQ(GetPart("a|b", 3, '|'), "");
    EXPECT_EQ(GetPart("a|b", 0, '|'), "");
    EXPECT_EQ(GetPart("a|b|c", 1, '|'), "a");
    EXPECT_TRUE(ContainsItemCase("EDBEditError,EFoo", "EFoo", ','));
    EXPECT_FALSE(ContainsItemCase("EDBEditError,EFoo", "Foo", ','));
    EXPECT_FALSE(ContainsItemCase("EDBEditError,EFoo", "efoo", ','));
    EXPECT_TRUE(ContainsItemNoCase("EDBEditError,EFoo", "efoo", ','));
    EXPECT_FALSE(ContainsItemCase("a,b", "", ','));
    std::string items = " a ,, b | c ";
    TrimAroundSeparator(items, ',');
    EXPECT_EQ(items, "a,b | c");
    std::string edges = ",, a ,";
    TrimAroundSeparator(edges, ',');
    EXPECT_EQ(edges, "a");
}

TEST(StringToolkit, ReplacingWithAndWithoutRescan) {
    std::string collapsed = "a    b";
    EXPECT_TRUE(ReplaceSubStrCase(collapsed, "  ", " ", true));
    EXPECT_EQ(collapsed, "a b");
    std::string once = "a    b";
    EXPECT_TRUE(ReplaceSubStrCase(once, "  ", " ", false));
    EXPECT_EQ(once, "a  b");
    std::string grown = "xax";
    EXPECT_TRUE(ReplaceSubStrCase(grown, "a", "aa", true));  // must not loop for ever
    EXPECT_EQ(grown, "xaax");
    std::string nocase = "One one ONE";
    EXPECT_TRUE(ReplaceSubStrNoCase(nocase, "one", "1", false));
    EXPECT_EQ(nocase, "1 1 1");
    std::string missing = "abc";
    EXPECT_FALSE(ReplaceSubStrCase(missing, "x", "y", false));
    std::u16string wide = u"%LF%x%lf%";
    EXPECT_TRUE(ReplaceSubStrNoCaseW(wide, u"%lf%", u"\r\n", false));
    EXPECT_EQ(wide, u"\r\nx\r\n");
}

TEST(StringToolkit, CopiesAndRanges) {
    EXPECT_EQ(DeletedCopy("abcdef", 2, 3), "aef");
    EXPECT_EQ(DeletedCopy("abc", 0, 1), "abc");
    EXPECT_EQ(DeletedCopy("abc", 3, 10), "ab");
    std::string kept = "abcdef";
    KeepSubRange(kept, 2, 3);
    EXPECT_EQ(kept, "bcd");
    EXPECT_EQ(RightChars("abcdef", 2), "ef");
    EXPECT_EQ(RightChars("ab", 5), "ab");
    std::string removed = "a-b-c";
    EXPECT_TRUE(RemoveCharAll(removed, '-'));
    EXPECT_EQ(removed, "abc");
    EXPECT_FALSE(RemoveCharSet(removed, MakeCharSet("xyz")));
    EXPECT_EQ(FindCharSetInRange(MakeCharSet("bc"), "abcabc", 1, 6), 2);
    EXPECT_EQ(FindCharSetInRange(MakeCharSet("bc"), "abcabc", 6, 1), 6);
    EXPECT_EQ(FindCharSetInRange(MakeCharSet("bc"), "", 1, 6), 0);
    EXPECT_EQ(FindCharOutsideSetW(MakeCharSet("a"), u"aa\u0100a", 1, 4), 3);
    EXPECT_TRUE(StartsWithStr("", "abc"));
    EXPECT_FALSE(StartsWithStr("abcd", "abc"));
    EXPECT_TRUE(StartsWithText("AB", "abc"));
}

TEST(StringToolkit, ConversionsAndScrambling) {
    EXPECT_EQ(XorStrScramble(XorStrScramble("secret")), "secret");
    EXPECT_EQ(XorStrScramble("A"), "\x14");
    EXPECT_EQ(WideToAnsiLowBytes(u"A\u0142"), "A\x42");
    EXPECT_EQ(Utf8ToWideText("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"), u"a\u00E4\u20AC\U0001F600");
    EXPECT_EQ(WideToUtf8Text(u"a\u00E4\u20AC\U0001F600"), "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToWideText("\xFFx"), u"\uFFFDx");
    EXPECT_EQ(Utf8ToWideText("\xC3"), u"\uFFFD");
    // What goes into a mail or a ZIP entry name is UTF-8 even when the wide
    // text was not: a surrogate half without its partner is no character.
    const char16_t halves[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(WideToUtf8Text(halves), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(Utf8ToWideText("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(ErrorCodeToText(2), "No such file or directory");
    EXPECT_EQ(ErrorCodeToText(0x2EE7), "error $2ee7");
}

}  // namespace
}  // namespace crashreport
