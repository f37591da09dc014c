#include "tools/htmlreport/list_view_html.h"

#include <QColor>
#include <QPalette>
#include <QTreeWidget>

#include <cstdio>

namespace tarnovell {

std::string ListViewColorText(const QColor& color) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X%02X", color.blue(), color.green(), color.red());
    return text;
}

std::string ListViewRowColor(const QTreeWidget& list, const QTreeWidgetItem* item) {
    if (!item) return "FFFFFF";
    const QBrush brush = item->background(0);
    if (brush.style() != Qt::NoBrush) return ListViewColorText(brush.color());
    return ListViewColorText(list.palette().color(QPalette::Base));
}

ListReport ReadListView(const QTreeWidget& list) {
    ListReport report;
    const int columns = list.columnCount();
    report.header_count = static_cast<std::size_t>(columns);
    if (const QTreeWidgetItem* header = list.headerItem())
        for (int c = 0; c < columns; ++c) report.captions.push_back(header->text(c).toStdString());
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list.topLevelItem(i);
        ListReportRow row;
        row.color = ListViewRowColor(list, item);
        for (int c = 0; c < std::max(columns, 1); ++c) row.cells.push_back(item->text(c).toStdString());
        report.rows.push_back(std::move(row));
    }
    return report;
}

void ListViewToHtml(const QTreeWidget& list, const std::string& title, std::string& text) {
    text = ListReportHtml(ReadListView(list), title);
}

}  // namespace tarnovell
