// The HTML list report of a list widget: what the widget shows, read into a
// ListReport and written as the page of list_html.h.
#pragma once

#include <string>

#include "tools/htmlreport/list_html.h"

class QColor;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarnovell {

// A colour as the report reads it: blue, green, red as six hexadecimal digits.
std::string ListViewColorText(const QColor& color);

// The background a row is drawn with: its own brush, or the list's base
// colour when it has none; "FFFFFF" without an item.
std::string ListViewRowColor(const QTreeWidget& list, const QTreeWidgetItem* item);

// Column captions, header count, and every top-level row with its colour
// and cell texts.
ListReport ReadListView(const QTreeWidget& list);

// The page for `list` with `title` in `text`.
void ListViewToHtml(const QTreeWidget& list, const std::string& title, std::string& text);

}  // namespace tarnovell
