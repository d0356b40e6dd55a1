#include "objectives/optical_path.h"

#include <cerrno>
#include <climits>
#include <stdexcept>

#include "IO/config_table.h"
#include "IO/csv_writer.h"

namespace {

void checkDatapoints(long long n, const char* what)
{
    if (n < 0 || n > INT_MAX / OpticalPath::kStride) {
        throw std::runtime_error(std::string(what) + " must lie between 0 and " +
                                 std::to_string(INT_MAX / OpticalPath::kStride) + ", not " + std::to_string(n));
    }
}

} // namespace

OpticalPath::Settings OpticalPath::readConfig(const ConfigTable& table)
{
    Settings s;
    s.outputFile = table.getFileName("output_file");
    const long long n = table.getInt("datapoints_amount");
    checkDatapoints(n, "configuration key 'datapoints_amount'");
    s.datapoints = static_cast<int>(n);
    return s;
}

void OpticalPath::allocate(int datapoints)
{
    const std::size_t n = static_cast<std::size_t>(datapoints);
    dev::DeviceArray<double> data(n * kStride, "optical path samples");
    dev::DeviceArray<int> flags(n, "optical path sample flags");
    dev::PinnedArray<double> dataHost(n * kStride, "optical path samples staging");
    dev::PinnedArray<int> flagsHost(n, "optical path sample flags staging");
    data.zero();
    dev::memset(flags.data(), 0xFF, flags.bytes()); // -1: empty
    data_ = std::move(data);
    flags_ = std::move(flags);
    dataHost_ = std::move(dataHost);
    flagsHost_ = std::move(flagsHost);
    datapoints_ = datapoints;
}

void OpticalPath::config(const ConfigTable& table, Mesh&)
{
    const Settings s = readConfig(table);
    outputFile_ = s.outputFile;
    allocate(s.datapoints);
    msg::out("Configured Optical Path Objective\n");
}

void OpticalPath::config(const std::string& outputFile, int size)
{
    checkDatapoints(size, "the number of path samples");
    outputFile_ = outputFile;
    allocate(size);
}

std::vector<double> OpticalPath::samples()
{
    const std::size_t n = static_cast<std::size_t>(datapoints_);
    if (n > 0) {
        dev::download(data_.data(), dataHost_.data(), n * kStride);
        dev::download(flags_.data(), flagsHost_.data(), n);
    }
    std::size_t filled = 0;
    while (filled < n && flagsHost_.data()[filled] > 0) ++filled;
    return std::vector<double>(dataHost_.data(), dataHost_.data() + filled * kStride);
}

void OpticalPath::result(Mesh&)
{
    const std::vector<double> rows = samples();
    const std::string name = nextFileName(outputFile_);
    errno = 0;
    if (!writeCSV(name, "x,y,z,s,E", rows.data(), rows.size() / kStride, kStride)) failedWrite(name);
    ++writeCounter;
    msg::out("Results written to CSV file: %s\n", name.c_str());
}

void OpticalPath::result(Mesh& mesh, const double*)
{
    msg::out("Warning: result with field argument not implemented for OpticalPath objective. Calling result without "
             "field argument instead.\n");
    result(mesh);
}

void OpticalPath::result(Mesh& mesh, const double*, int)
{
    msg::out("Warning: result with field argument not implemented for OpticalPath objective. Calling result without "
             "field argument instead.\n");
    result(mesh);
}

void OpticalPath::getResult(double* host)
{
    if (host == nullptr) {
        msg::out("Error: hostPtr is nullptr in getResult\\n");
        return;
    }
    if (datapoints_ > 0) dev::download(data_.data(), host, static_cast<std::size_t>(datapoints_) * kStride);
}
