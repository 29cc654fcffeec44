// The tools' plain tables: columns as wide as their widest cell, two blanks between them, the
// last column unpadded.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kvat::cli {

// `rows` begins with the heads; every row has at most as many cells as the heads.
inline void PrintTable(std::FILE *out, const std::vector<std::vector<std::string>> &rows) {
    if (rows.empty()) return;
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto &row : rows) {
        for (std::size_t i = 0; i < row.size() && i < width.size(); ++i) width[i] = std::max(width[i], row[i].size());
    }
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size() && i < width.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

}  // namespace kvat::cli
