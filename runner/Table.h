#pragma once
// A plain-text table for the terminal: a header row, a rule, and columns
// padded to their widest cell.
#include <string>
#include <vector>

class TextTable {
public:
    explicit TextTable(std::vector<std::string> headers) : m_headers(std::move(headers)) {}
    void AddRow(std::vector<std::string> cells) { m_rows.push_back(std::move(cells)); }
    bool Empty() const { return m_rows.empty(); }
    std::string Render() const;

private:
    std::vector<std::string> m_headers;
    std::vector<std::vector<std::string>> m_rows;
};
