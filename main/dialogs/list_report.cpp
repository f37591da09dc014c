#include "main/dialogs/list_report.h"

#include <QColor>
#include <QTreeWidget>

#include "platform/base/ascii.h"

namespace tarnovell {

namespace {

constexpr std::size_t kMaxCellText = 1023;

std::string CellText(const QTreeWidgetItem* item, int column) {
    std::string text = item->text(column).toStdString();
    if (text.size() > kMaxCellText) text.resize(kMaxCellText);
    return platform::Trim(text);
}

}  // namespace

std::string RowClassOf(const QColor& background) {
    if (!background.isValid()) return "default";
    const int r = background.red(), g = background.green(), b = background.blue();
    if (r == 0xFF && g == 0x80 && b == 0x80) return "default-RED";
    if (r == 0x80 && g == 0xFF && b == 0x80) return "default-GREEN";
    return "default";
}

std::string ListViewToHtml(const QTreeWidget* list, const std::string& title) {
    std::string html;
    auto line = [&html](const std::string& text) { html += text + "\r\n"; };
    line("<html>");
    line("<body>");
    line("<head>");
    line("<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\" />");
    line("</head>");
    if (!title.empty()) line("<h3>" + title + "</h3><hr>");
    line("<table>");
    line("<tr>");
    const QTreeWidgetItem* header = list->headerItem();
    const int columns = list->columnCount();
    for (int c = 0; c < columns; ++c) line("<td class=\"sub\">" + header->text(c).toStdString() + "</td>");
    line("</tr>");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        const std::string row_class = RowClassOf(item->background(0).color());
        line("<tr>");
        for (int c = 0; c < columns; ++c)
            line("<td class=\"" + row_class + "\">" + CellText(item, c) + "</td>");
        line("</tr>");
    }
    for (const char* end : {"</table>", "<hr/>", "<br/>", "</body>", "</html>"}) line(end);
    return html;
}

}  // namespace tarnovell
