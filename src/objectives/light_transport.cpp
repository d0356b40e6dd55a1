#include "objectives/light_transport.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "mesh/mesh.h"
#include "IO/config_table.h"
#include "IO/vtu_writer.h"

void LightTransport::config(const std::string& outputFile, int size)
{
    if (size < 0) throw std::invalid_argument("the result size must not be negative");
    outputFile_ = outputFile; // whole: a name the file system cannot hold fails at the write, named
    // Result files are VTU files: a name whose file part has no extension gets ".vtu".
    const std::size_t slash = outputFile_.find_last_of('/');
    if (outputFile_.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos) outputFile_ += ".vtu";
    // Storage of the right size is kept (zeroed), so the device address a script took from
    // get_result_array_device_ptr stays valid; only a new size reallocates it.
    if (resultDevice_.size() != static_cast<std::size_t>(size) || resultHost_.size() != resultDevice_.size()) {
        resultDevice_.allocate(static_cast<std::size_t>(size), "absorbed power");
        resultHost_.allocate(static_cast<std::size_t>(size), "absorbed power staging");
    }
    resultSize_ = size;
    resultDevice_.zero();
}

void LightTransport::adoptStorage(LightTransport& from) noexcept
{
    resultDevice_ = std::move(from.resultDevice_);
    resultHost_ = std::move(from.resultHost_);
    resultSize_ = std::exchange(from.resultSize_, 0);
}

void LightTransport::config(const ConfigTable& table, Mesh& mesh)
{
    const std::string name = readConfig(table);
    msg::out("Configured Light Transport Objective\n");
    config(name, mesh.h_mdata_devlink.nNodes);
}

std::string LightTransport::readConfig(const ConfigTable& table) { return table.getFileName("output_file"); }

void LightTransport::setFieldNames(const std::vector<std::string>& names)
{
    clearFieldNames();
    const std::size_t n = std::min<std::size_t>(names.size(), kMaxFieldNames);
    for (std::size_t i = 0; i < n; ++i) {
        fieldNames_[i] = names[i];
        fieldNameCount_ += fieldNames_[i].empty() ? 0 : 1;
    }
}

void LightTransport::clearFieldNames()
{
    fieldNameCount_ = 0;
    for (std::string& name : fieldNames_) name.clear();
}

void LightTransport::getResult(double* host)
{
    if (host == nullptr) {
        msg::out("Error: hostPtr is nullptr in getResult\n");
        return;
    }
    dev::download(resultDevice_.data(), host, static_cast<std::size_t>(resultSize_));
}

void LightTransport::resetResult()
{
    dev::memset(resultDevice_.data(), 0, sizeof(double) * static_cast<std::size_t>(resultSize_));
}

void LightTransport::result(Mesh& mesh) { result(mesh, nullptr, 0); }

void LightTransport::result(Mesh& mesh, const double* deviceField)
{
    const std::vector<double> field = dev::download(deviceField, static_cast<std::size_t>(mesh.h_mdata_devlink.nNodes));
    result(mesh, field.data(), 1);
}

void LightTransport::result(Mesh& mesh, const double* hostFields, int count) { writeVTU(mesh, hostFields, count); }

void LightTransport::writeVTU(Mesh& mesh, const double* fields, int count)
{
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const std::size_t n = static_cast<std::size_t>(m.nNodes);
    if (resultSize_ > 0) {
        dev::download(resultDevice_.data(), resultHost_.data(), static_cast<std::size_t>(resultSize_));
    }
    const std::vector<float> index = dev::download(m.refrIndex, n);
    const std::vector<float> absorptivity = dev::download(m.absorptivity, n);

    // A result sized for another mesh is written as far as it goes, zeros beyond.
    const double* result = resultHost_.data();
    const std::size_t resultSize = static_cast<std::size_t>(std::max(resultSize_, 0));
    std::vector<NodalField> nodal;
    nodal.push_back({"Volumetric absorbed power Q", [&](std::size_t i) { return i < resultSize ? result[i] : 0.0; }});
    nodal.push_back({"RefractiveIndex", [&](std::size_t i) { return static_cast<double>(index[i]); }});
    if (fields != nullptr && count >= 1) {
        bool custom = count == fieldNameCount_;
        for (int j = 0; j < count && custom; ++j) custom = !fieldNames_[j].empty();
        for (int j = 0; j < count; ++j) {
            const std::string generic = count == 1 ? "Field" : "Field_" + std::to_string(j);
            const double* values = fields + static_cast<std::size_t>(j) * n;
            nodal.push_back({custom ? fieldNames_[j] : generic, [values](std::size_t i) { return values[i]; }});
        }
    }
    nodal.push_back({"Absorptivity", [&](std::size_t i) { return static_cast<double>(absorptivity[i]); }});

    const std::string name = nextFileName();
    errno = 0;
    if (!writeHexahedraVTU(name, mesh, nodal)) failedWrite(name);
    ++writeCounter;
    msg::out("Results written to VTU file: %s\n", name.c_str());
}
