// A report-style list as one HTML page: its column captions, every row's
// cell texts and a class naming each row's colour, so that a saved list
// reads as the window showed it. The volume window and the partition
// editor save their lists with it.
#pragma once

#include <string>

class QColor;
class QTreeWidget;

namespace tarnovell {

// The row class of a background colour: "default-RED" for the light red
// rows, "default-GREEN" for the light green ones, "default" for any other.
std::string RowClassOf(const QColor& background);

// The page, lines ended by CR LF; the heading is left out for an empty
// `title`. A cell keeps at most 1,023 characters, trimmed of blanks.
std::string ListViewToHtml(const QTreeWidget* list, const std::string& title);

}  // namespace tarnovell
