#include "objectives/light_transport.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "mesh/mesh.h"
#include "objectives/config_table.h"

void LightTransport::config(const std::string& outputFile, int size)
{
    if (size < 0) throw std::invalid_argument("the result size must not be negative");
    outputFile_ = outputFile.substr(0, 255);
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
    const std::string name = table.getString("output_file");
    msg::out("Configured Light Transport Objective\n");
    config(name, mesh.h_mdata_devlink.nNodes);
}

void LightTransport::setFieldNames(const std::vector<std::string>& names)
{
    clearFieldNames();
    const std::size_t n = std::min<std::size_t>(names.size(), kMaxFieldNames);
    for (std::size_t i = 0; i < n; ++i) {
        fieldNames_[i] = names[i].substr(0, 127);
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
    dev::copy(host, resultDevice_.data(), sizeof(double) * static_cast<std::size_t>(resultSize_),
              dev::CopyKind::DeviceToHost);
}

void LightTransport::resetResult() { dev::memset(resultDevice_.data(), 0, sizeof(double) * static_cast<std::size_t>(resultSize_)); }

void LightTransport::result(Mesh& mesh) { result(mesh, nullptr, 0); }

void LightTransport::result(Mesh& mesh, const double* deviceField)
{
    const std::vector<double> field =
        Mesh::download(deviceField, static_cast<std::size_t>(mesh.h_mdata_devlink.nNodes));
    result(mesh, field.data(), 1);
}

void LightTransport::result(Mesh& mesh, const double* hostFields, int count) { writeVTU(mesh, hostFields, count); }

std::string LightTransport::nextFileName() const
{
    char name[512];
    const std::size_t dot = outputFile_.rfind('.');
    if (dot != std::string::npos) {
        std::snprintf(name, sizeof name, "%.*s_%d%s", static_cast<int>(dot), outputFile_.c_str(), writeCounter,
                      outputFile_.c_str() + dot);
    } else {
        std::snprintf(name, sizeof name, "%s_%d", outputFile_.c_str(), writeCounter);
    }
    return name;
}

void LightTransport::writeVTU(Mesh& mesh, const double* fields, int count)
{
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const int N = m.nNodes, E = m.nElements;
    const std::size_t n = static_cast<std::size_t>(N);
    if (resultSize_ > 0) {
        dev::copy(resultHost_.data(), resultDevice_.data(), sizeof(double) * static_cast<std::size_t>(resultSize_),
                  dev::CopyKind::DeviceToHost);
    }
    const std::vector<float> coords = Mesh::download(m.nodeCoords, 3 * n);
    const std::vector<int> connectivity = Mesh::download(m.elementNodes, 8 * static_cast<std::size_t>(E));
    const std::vector<float> index = Mesh::download(m.refrIndex, n);
    const std::vector<float> absorptivity = Mesh::download(m.absorptivity, n);

    const std::string name = nextFileName();
    ++writeCounter; // advanced before opening, also when opening fails
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) {
        msg::out("Error: Cannot open file %s for writing\n", name.c_str());
        return;
    }
    // A result sized for another mesh is written as far as it goes, zeros beyond.
    auto resultAt = [&](int i) { return i < resultSize_ ? resultHost_.data()[i] : 0.0; };
    std::fprintf(file, "<?xml version=\"1.0\"?>\n");
    std::fprintf(file, "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n");
    std::fprintf(file, "  <UnstructuredGrid>\n");
    std::fprintf(file, "    <Piece NumberOfPoints=\"%d\" NumberOfCells=\"%d\">\n", N, E);
    std::fprintf(file, "      <Points>\n");
    std::fprintf(file, "        <DataArray type=\"Float64\" NumberOfComponents=\"3\" format=\"ascii\">\n");
    for (std::size_t i = 0; i < n; ++i) {
        std::fprintf(file, "%e %e %e\n", static_cast<double>(coords[i]), static_cast<double>(coords[n + i]),
                     static_cast<double>(coords[2 * n + i]));
    }
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "      </Points>\n");
    std::fprintf(file, "      <Cells>\n");
    std::fprintf(file, "        <DataArray type=\"Int32\" Name=\"connectivity\" format=\"ascii\">\n");
    for (int e = 0; e < E; ++e) {
        for (int k = 0; k < 8; ++k) std::fprintf(file, "%d ", connectivity[8 * static_cast<std::size_t>(e) + k]);
        std::fprintf(file, "\n");
    }
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "        <DataArray type=\"Int32\" Name=\"offsets\" format=\"ascii\">\n");
    for (int j = 1; j <= E; ++j) std::fprintf(file, "%d\n", 8 * j);
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\n");
    for (int e = 0; e < E; ++e) std::fprintf(file, "12\n");
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "      </Cells>\n");
    std::fprintf(file, "      <PointData>\n");
    std::fprintf(file, "        <DataArray type=\"Float64\" Name=\"Volumetric absorbed power Q\" format=\"ascii\">\n");
    for (int i = 0; i < N; ++i) std::fprintf(file, "%e\n", resultAt(i));
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "        <DataArray type=\"Float64\" Name=\"RefractiveIndex\" format=\"ascii\">\n");
    for (std::size_t i = 0; i < n; ++i) std::fprintf(file, "%e\n", static_cast<double>(index[i]));
    std::fprintf(file, "        </DataArray>\n");
    if (fields != nullptr && count >= 1) {
        bool custom = count == fieldNameCount_;
        for (int j = 0; j < count && custom; ++j) custom = !fieldNames_[j].empty();
        for (int j = 0; j < count; ++j) {
            char generic[32];
            if (count == 1) std::snprintf(generic, sizeof generic, "Field");
            else std::snprintf(generic, sizeof generic, "Field_%d", j);
            std::fprintf(file, "        <DataArray type=\"Float64\" Name=\"%s\" format=\"ascii\">\n",
                         custom ? fieldNames_[j].c_str() : generic);
            for (std::size_t i = 0; i < n; ++i) std::fprintf(file, "%e\n", fields[static_cast<std::size_t>(j) * n + i]);
            std::fprintf(file, "        </DataArray>\n");
        }
    }
    std::fprintf(file, "        <DataArray type=\"Float64\" Name=\"Absorptivity\" format=\"ascii\">\n");
    for (std::size_t i = 0; i < n; ++i) std::fprintf(file, "%e\n", static_cast<double>(absorptivity[i]));
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "      </PointData>\n");
    std::fprintf(file, "      <CellData>\n");
    std::fprintf(file, "      </CellData>\n");
    std::fprintf(file, "    </Piece>\n");
    std::fprintf(file, "  </UnstructuredGrid>\n");
    std::fprintf(file, "</VTKFile>\n");
    std::fclose(file);
    msg::out("Results written to VTU file: %s\n", name.c_str());
}
