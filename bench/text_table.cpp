#include "bench/text_table.h"

#include <algorithm>

namespace bench {

std::string text_table::text() const
{
    std::vector<size_t> width;
    for (const auto& row : rows) {
        if (row.size() < 2)
            continue;
        width.resize(std::max(width.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    }
    std::string out;
    for (size_t r = 0; r < rows.size(); ++r) {
        const auto& row = rows[r];
        if (row.size() == 1) {
            out += row[0] + "\n";
            continue;
        }
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string pad(width[i] - row[i].size(), ' ');
            line += i == 0 ? row[i] + pad : "  " + pad + row[i];
        }
        out += line + "\n";
        if (r == 0) {
            size_t total = 0;
            for (size_t w : width)
                total += w + 2;
            out += std::string(total - 2, '-') + "\n";
        }
    }
    return out;
}

}   // namespace bench
