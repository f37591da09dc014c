#include "tools/htmlreport/list_html.h"

#include <algorithm>

#include "platform/base/ascii.h"
#include "platform/base/markup_text.h"

namespace tarnovell {

namespace {

constexpr const char* kEol = "\r\n";

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Bytes of the first `characters` characters of UTF-8 text; a sequence cut
// by the end of the text counts as whatever bytes of it there are.
std::size_t PrefixBytes(std::string_view text, std::size_t characters) {
    std::size_t bytes = 0;
    for (std::size_t counted = 0; bytes < text.size() && counted < characters; ++counted) {
        ++bytes;
        while (bytes < text.size() && IsContinuation(static_cast<unsigned char>(text[bytes]))) ++bytes;
    }
    return bytes;
}

}  // namespace

std::string RowClass(const std::string& color) {
    const std::string upper = platform::ToUpper(color);
    if (upper == "8080FF") return "default-RED";
    if (upper == "80FF80") return "default-GREEN";
    return "default";
}

std::string CellText(std::string_view text) {
    return platform::Trim(text.substr(0, PrefixBytes(text, kMaxCellCharacters)));
}

std::string ListReportHtml(const ListReport& report, const std::string& title) {
    std::string html;
    auto line = [&html](const std::string& text) {
        html += text;
        html += kEol;
    };
    // The body tag stands before the head, as every report of ours has had it.
    line("<html>");
    line("<body>");
    line("<head>");
    line("<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\" />");
    line("</head>");
    if (!title.empty()) line("<h3>" + platform::EscapeMarkup(title) + "</h3><hr>");
    line("<table>");
    line("<tr>");
    for (const std::string& caption : report.captions)
        line("<td class=\"sub\">" + platform::EscapeMarkup(caption) + "</td>");
    line("</tr>");
    const std::size_t cells = std::max<std::size_t>(report.header_count, 1);
    for (const ListReportRow& row : report.rows) {
        const std::string cell_start = "<td class=\"" + RowClass(row.color) + "\">";
        line("<tr>");
        for (std::size_t i = 0; i < cells; ++i) {
            const std::string text = i < row.cells.size() ? CellText(row.cells[i]) : std::string();
            line(cell_start + platform::EscapeMarkup(text) + "</td>");
        }
        line("</tr>");
    }
    line("</table>");
    line("<hr/>");
    line("<br/>");
    line("</body>");
    line("</html>");
    return html;
}

}  // namespace tarnovell
