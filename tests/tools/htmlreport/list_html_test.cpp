// The HTML list report: the page's exact lines, row classes by colour, cells
// cut by characters and escaped, and a list widget read as it is drawn.
#include <gtest/gtest.h>

#include <QBrush>
#include <QColor>
#include <QTreeWidget>

#include <string>

#include "platform/base/wide_text.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "tools/htmlreport/list_html.h"
#include "tools/htmlreport/list_view_html.h"

namespace {

using tarnovell::ListReport;
using tarnovell::ListReportHtml;
using tarnovell::ListReportRow;

const std::string kHead =
    "<html>\r\n<body>\r\n<head>\r\n<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\" />\r\n</head>\r\n";
const std::string kTail = "</table>\r\n<hr/>\r\n<br/>\r\n</body>\r\n</html>\r\n";

TEST(ListReportHtml, WritesHeadTitleCaptionsAndRowsLineByLine) {
    ListReport report;
    report.captions = {"Number", "Offset (bytes)"};
    report.header_count = 2;
    report.rows = {ListReportRow{"FFFFFF", {"1", " 1048576 "}}, ListReportRow{"8080FF", {"-", "0"}}};
    EXPECT_EQ(ListReportHtml(report, "partitions"),
              kHead + "<h3>partitions</h3><hr>\r\n<table>\r\n<tr>\r\n<td class=\"sub\">Number</td>\r\n"
                      "<td class=\"sub\">Offset (bytes)</td>\r\n</tr>\r\n"
                      "<tr>\r\n<td class=\"default\">1</td>\r\n<td class=\"default\">1048576</td>\r\n</tr>\r\n"
                      "<tr>\r\n<td class=\"default-RED\">-</td>\r\n<td class=\"default-RED\">0</td>\r\n</tr>\r\n" +
                  kTail);
}

TEST(ListReportHtml, EmptyListAndEmptyTitle) {
    ListReport report;
    report.captions = {"Volume"};
    report.header_count = 1;
    // No title: no heading, no rule; no rows: the caption row and nothing else.
    EXPECT_EQ(ListReportHtml(report, ""),
              kHead + "<table>\r\n<tr>\r\n<td class=\"sub\">Volume</td>\r\n</tr>\r\n" + kTail);
}

TEST(ListReportHtml, CellsPerRowFollowTheHeaderCount) {
    ListReport report;
    report.captions = {"a", "b", "c"};
    report.header_count = 3;
    report.rows = {ListReportRow{"FFFFFF", {"only"}}};
    const std::string html = ListReportHtml(report, "t");
    EXPECT_NE(html.find("<td class=\"default\">only</td>\r\n<td class=\"default\"></td>\r\n"
                        "<td class=\"default\"></td>\r\n</tr>"),
              std::string::npos)
        << html;
    // Even a list without header items writes the item's own text.
    report.header_count = 0;
    EXPECT_NE(ListReportHtml(report, "t").find("<tr>\r\n<td class=\"default\">only</td>\r\n</tr>"), std::string::npos);
}

TEST(ListReportHtml, RowClassByColour) {
    struct Case {
        const char* color;
        const char* row_class;
    };
    for (const Case& c : {Case{"8080FF", "default-RED"}, Case{"8080ff", "default-RED"}, Case{"80FF80", "default-GREEN"},
                          Case{"FFFFFF", "default"}, Case{"E5E5E5", "default"}, Case{"FF8080", "default"},
                          Case{"", "default"}})
        EXPECT_EQ(tarnovell::RowClass(c.color), c.row_class) << c.color;
}

TEST(ListReportHtml, MarkupInCellsCaptionsAndTitleIsShownNotObeyed) {
    ListReport report;
    report.captions = {"<b>Name</b>"};
    report.header_count = 1;
    report.rows = {ListReportRow{"FFFFFF", {"</td><script>alert('x')</script> & \"q\""}}};
    const std::string html = ListReportHtml(report, "a<b>&c");
    EXPECT_NE(html.find("<h3>a&lt;b&gt;&amp;c</h3><hr>"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"sub\">&lt;b&gt;Name&lt;/b&gt;</td>"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"default\">&lt;/td&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; "
                        "&quot;q&quot;</td>"),
              std::string::npos);
    EXPECT_EQ(html.find("<script>"), std::string::npos);

    // A real HTML parser reads back exactly the texts that went in.
    if (!test_support::HaveTool("xmllint")) GTEST_SKIP() << "xmllint missing";
    test_support::TempDir dir;
    const std::string file = dir.file("report.html");
    test_support::WriteWholeFile(file, html);
    // Our head stands after the body tag, which the parser notes on stderr.
    auto text_at = [&](const std::string& xpath) {
        std::string text = test_support::Run("{ xmllint --html --xpath " +
                                             test_support::Quote("string(" + xpath + ")") + " " +
                                             test_support::Quote(file) + " 2>/dev/null; }")
                               .output;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    };
    EXPECT_EQ(text_at("//h3"), "a<b>&c");
    EXPECT_EQ(text_at("//tr[2]/td[1]"), "</td><script>alert('x')</script> & \"q\"");
}

TEST(ListReportHtml, LongCellsAreCutByCharactersNeverInsideOne) {
    struct Case {
        const char* name;
        std::string unit;  // one character
    };
    for (const Case& c : {Case{"ascii", "x"}, Case{"two-byte", "\xC3\xA9"}, Case{"three-byte", "\xE2\x82\xAC"},
                          Case{"four-byte", "\xF0\x9F\x92\xBE"}}) {
        std::string long_text;
        for (int i = 0; i < 1100; ++i) long_text += c.unit;
        const std::string cut = tarnovell::CellText(long_text);
        EXPECT_EQ(cut.size(), 1023 * c.unit.size()) << c.name;
        EXPECT_TRUE(platform::IsValidUtf8(cut)) << c.name;
    }
    // Exactly the limit is kept whole; the cut comes before the trim.
    EXPECT_EQ(tarnovell::CellText(std::string(1023, 'y')).size(), 1023u);
    EXPECT_EQ(tarnovell::CellText(std::string(1020, 'y') + "    z"), std::string(1020, 'y'));
    EXPECT_EQ(tarnovell::CellText("  \t a b \r\n"), "a b");
}

TEST(ListViewHtml, ReadsTheWidgetAsItIsDrawn) {
    test_support::TestApplication();
    QTreeWidget list;
    list.setHeaderLabels({"Number", "Type", "Boot"});
    list.setColumnHidden(2, true);  // hidden columns are still columns of the list
    QPalette palette = list.palette();
    palette.setColor(QPalette::Base, Qt::white);
    list.setPalette(palette);
    auto* plain = new QTreeWidgetItem(&list, QStringList{"1", "(0x07) WindowsNT NTFS", "True"});
    auto* red = new QTreeWidgetItem(&list, QStringList{"2", QString::fromUtf8("Données"), "False"});
    auto* grey = new QTreeWidgetItem(&list, QStringList{"-", "", ""});
    for (int c = 0; c < 3; ++c) {
        red->setBackground(c, QBrush(QColor(0xFF, 0x80, 0x80)));
        grey->setBackground(c, QBrush(QColor(0xE5, 0xE5, 0xE5)));
    }
    (void)plain;

    EXPECT_EQ(tarnovell::ListViewColorText(QColor(0x12, 0x34, 0x56)), "563412");
    EXPECT_EQ(tarnovell::ListViewRowColor(list, nullptr), "FFFFFF");
    const ListReport report = tarnovell::ReadListView(list);
    EXPECT_EQ(report.captions, (std::vector<std::string>{"Number", "Type", "Boot"}));
    EXPECT_EQ(report.header_count, 3u);
    ASSERT_EQ(report.rows.size(), 3u);
    EXPECT_EQ(report.rows[0].color, "FFFFFF");
    EXPECT_EQ(report.rows[1].color, "8080FF");
    EXPECT_EQ(report.rows[2].color, "E5E5E5");
    EXPECT_EQ(report.rows[1].cells[1], "Données");

    std::string html;
    tarnovell::ListViewToHtml(list, "partitions", html);
    EXPECT_NE(html.find("<td class=\"default-RED\">Données</td>"), std::string::npos) << html;
    EXPECT_NE(html.find("<td class=\"default\">(0x07) WindowsNT NTFS</td>"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"sub\">Boot</td>"), std::string::npos);
}

}  // namespace
