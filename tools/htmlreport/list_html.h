// The HTML list report: what a report-style list shows (its column captions,
// every row's cell texts and each row's background colour) as one HTML page
// with a style-sheet link. The partition editor saves it as "partitions", the
// volume window as "volumes". This part knows no widgets; list_view_html.h
// reads a list widget into a ListReport.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnovell {

// The longest cell text the report carries, in characters: what the list
// view's 1,024-byte text buffer held with its terminator.
inline constexpr std::size_t kMaxCellCharacters = 1023;

struct ListReportRow {
    // The background as six hexadecimal digits in blue, green, red order, as
    // a colour value prints ("8080FF" is light red); "FFFFFF" when unknown.
    std::string color = "FFFFFF";
    // Sub-item 0 first; UTF-8.
    std::vector<std::string> cells;
};

struct ListReport {
    std::vector<std::string> captions;  // the columns, in order
    // Cells written per row: the header's item count (at least one, the
    // item's own text, is always written).
    std::size_t header_count = 0;
    std::vector<ListReportRow> rows;
};

// "default-RED" for 8080FF, "default-GREEN" for 80FF80, else "default".
std::string RowClass(const std::string& color);

// A cell as the report shows it: at most kMaxCellCharacters characters
// (never part of a UTF-8 sequence), then without blanks at either end.
std::string CellText(std::string_view text);

// The page, lines ending in CR LF. Captions, cells and the title are escaped;
// an empty title leaves out the heading and its rule. A row with fewer cells
// than the header counts gets empty cells for the rest.
std::string ListReportHtml(const ListReport& report, const std::string& title);

}  // namespace tarnovell
