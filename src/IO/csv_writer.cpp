#include "IO/csv_writer.h"

#include <cstdio>
#include <stdexcept>

bool writeCSV(const std::string& path, const std::string& header, const double* values, std::size_t rows,
              std::size_t columns)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fprintf(file, "%s\n", header.c_str()) >= 0;
    for (std::size_t r = 0; r < rows && ok; ++r) {
        for (std::size_t c = 0; c < columns && ok; ++c) {
            ok = std::fprintf(file, c + 1 < columns ? "%e," : "%e\n", values[r * columns + c]) >= 0;
        }
    }
    const bool closed = std::fclose(file) == 0;
    if (!ok || !closed) throw std::runtime_error("writing the CSV file " + path + " failed");
    return true;
}
