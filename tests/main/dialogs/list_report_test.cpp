// The HTML page of a list: its fixed head, the heading only with a title,
// the header row of captions, a class by row colour, long cells cut.
#include <gtest/gtest.h>

#include <QColor>
#include <QTreeWidget>

#include <string>

#include "main/dialogs/list_report.h"
#include "support/test_application.h"

namespace {

using tarnovell::ListViewToHtml;

const std::string kHead =
    "<html>\r\n<body>\r\n<head>\r\n<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\" />\r\n</head>\r\n";
const std::string kTail = "</table>\r\n<hr/>\r\n<br/>\r\n</body>\r\n</html>\r\n";

TEST(ListReport, AnEmptyListIsItsHeadAndCaptions) {
    test_support::TestApplication();
    QTreeWidget list;
    list.setHeaderLabels({"Volume", "Size"});
    EXPECT_EQ(ListViewToHtml(&list, ""), kHead + "<table>\r\n<tr>\r\n<td class=\"sub\">Volume</td>\r\n"
                                                 "<td class=\"sub\">Size</td>\r\n</tr>\r\n" + kTail);
    EXPECT_EQ(ListViewToHtml(&list, "volumes").substr(kHead.size(), 25), "<h3>volumes</h3><hr>\r\n<ta");
}

TEST(ListReport, RowsCarryTheirColourAndTrimmedCells) {
    test_support::TestApplication();
    QTreeWidget list;
    list.setHeaderLabels({"A", "B"});
    struct Row {
        QColor background;
        const char* row_class;
    };
    const Row rows[] = {{QColor(0xFF, 0x80, 0x80), "default-RED"},
                        {QColor(0x80, 0xFF, 0x80), "default-GREEN"},
                        {QColor(0x80, 0x80, 0xFF), "default"},
                        {QColor(), "default"}};
    for (const auto& row : rows) {
        auto* item = new QTreeWidgetItem(QStringList{"  padded  ", QString(1100, 'x')});
        if (row.background.isValid())
            for (int c = 0; c < 2; ++c) item->setBackground(c, row.background);
        list.addTopLevelItem(item);
    }
    const std::string html = ListViewToHtml(&list, "t");
    std::size_t at = 0;
    for (const auto& row : rows) {
        const std::string k = row.row_class;
        const std::string expected = "<tr>\r\n<td class=\"" + k + "\">padded</td>\r\n<td class=\"" + k + "\">" +
                                     std::string(1023, 'x') + "</td>\r\n</tr>\r\n";
        at = html.find(expected, at);
        ASSERT_NE(at, std::string::npos) << row.row_class;
    }
    EXPECT_EQ(html.substr(html.size() - kTail.size()), kTail);
}

}  // namespace
