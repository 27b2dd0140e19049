// A table for the terminal: a header row, rows of cells, the first column
// aligned left and the others right, columns as wide as their widest cell.
// A row with a single cell is a heading line inside the table.
//
// Thread rules: none.
#pragma once

#include <string>
#include <vector>

#include "bench/report.h"

namespace bench {

class text_table {
public:
    explicit text_table(std::vector<std::string> header) : rows{std::move(header)} {}

    void add(std::vector<std::string> row) { rows.push_back(std::move(row)); }
    std::string text() const;

private:
    std::vector<std::vector<std::string>> rows;
};

}   // namespace bench
