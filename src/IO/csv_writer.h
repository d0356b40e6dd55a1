// Comma-separated text files of numbers, as numpy.loadtxt / genfromtxt read them.
#pragma once

#include <cstddef>
#include <string>

// A header line, then `rows` lines of `columns` values each ("%e", comma-separated), row r
// at values[r * columns]. False when the file cannot be opened (nothing is written then); a
// write that fails midway raises std::runtime_error.
bool writeCSV(const std::string& path, const std::string& header, const double* values, std::size_t rows,
              std::size_t columns);
