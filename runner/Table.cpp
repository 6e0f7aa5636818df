#include "runner/Table.h"

#include <algorithm>

namespace {
// Cells are shown on one line.
std::string Flatten(const std::string& text) {
    std::string flat = text;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    std::replace(flat.begin(), flat.end(), '\t', ' ');
    return flat;
}
}  // namespace

std::string TextTable::Render() const {
    std::vector<size_t> widths;
    for (const auto& h : m_headers) widths.push_back(h.size());
    for (const auto& row : m_rows)
        for (size_t c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], Flatten(row[c]).size());

    auto line = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (size_t c = 0; c < widths.size(); ++c) {
            std::string cell = c < cells.size() ? Flatten(cells[c]) : "";
            out += cell;
            if (c + 1 < widths.size()) out += std::string(widths[c] - cell.size() + 2, ' ');
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out + "\n";
    };
    std::string out = line(m_headers);
    std::vector<std::string> rule;
    for (size_t w : widths) rule.push_back(std::string(w, '-'));
    out += line(rule);
    for (const auto& row : m_rows) out += line(row);
    return out;
}
