#include "IO/vtu_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/messages.h"
#include "mesh/mesh.h"

void VtuXmlWriter::begin(std::size_t points, std::size_t cells)
{
    std::fprintf(file_, "<?xml version=\"1.0\"?>\n");
    std::fprintf(file_, "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n");
    std::fprintf(file_, "  <UnstructuredGrid>\n");
    std::fprintf(file_, "    <Piece NumberOfPoints=\"%zu\" NumberOfCells=\"%zu\">\n", points, cells);
}

void VtuXmlWriter::points(const float* coords, std::size_t n)
{
    std::fprintf(file_, "      <Points>\n");
    std::fprintf(file_, "        <DataArray type=\"Float64\" NumberOfComponents=\"3\" format=\"ascii\">\n");
    for (std::size_t i = 0; i < n; ++i) {
        std::fprintf(file_, "%e %e %e\n", static_cast<double>(coords[i]), static_cast<double>(coords[n + i]),
                     static_cast<double>(coords[2 * n + i]));
    }
    std::fprintf(file_, "        </DataArray>\n");
    std::fprintf(file_, "      </Points>\n");
}

void VtuXmlWriter::cells(std::size_t cells, int nodesPerCell, int vtkCellType,
                         const std::function<int(std::size_t, int)>& node)
{
    std::fprintf(file_, "      <Cells>\n");
    std::fprintf(file_, "        <DataArray type=\"Int32\" Name=\"connectivity\" format=\"ascii\">\n");
    for (std::size_t c = 0; c < cells; ++c) {
        for (int k = 0; k < nodesPerCell; ++k) std::fprintf(file_, "%d ", node(c, k));
        std::fprintf(file_, "\n");
    }
    std::fprintf(file_, "        </DataArray>\n");
    std::fprintf(file_, "        <DataArray type=\"Int32\" Name=\"offsets\" format=\"ascii\">\n");
    for (std::size_t c = 1; c <= cells; ++c) std::fprintf(file_, "%zu\n", static_cast<std::size_t>(nodesPerCell) * c);
    std::fprintf(file_, "        </DataArray>\n");
    std::fprintf(file_, "        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\n");
    for (std::size_t c = 0; c < cells; ++c) std::fprintf(file_, "%d\n", vtkCellType);
    std::fprintf(file_, "        </DataArray>\n");
    std::fprintf(file_, "      </Cells>\n");
}

void VtuXmlWriter::beginPointData() { std::fprintf(file_, "      <PointData>\n"); }
void VtuXmlWriter::endPointData() { std::fprintf(file_, "      </PointData>\n"); }
void VtuXmlWriter::beginCellData() { std::fprintf(file_, "      <CellData>\n"); }
void VtuXmlWriter::endCellData() { std::fprintf(file_, "      </CellData>\n"); }

namespace {

// A name as an XML attribute value: field names come from scripts.
std::string xmlEscaped(const char* text)
{
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) {
        switch (*c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += *c;
        }
    }
    return out;
}

} // namespace

void VtuXmlWriter::float64Array(const char* name, std::size_t n, const std::function<double(std::size_t)>& value)
{
    std::fprintf(file_, "        <DataArray type=\"Float64\" Name=\"%s\" format=\"ascii\">\n",
                 xmlEscaped(name).c_str());
    for (std::size_t i = 0; i < n; ++i) std::fprintf(file_, "%e\n", value(i));
    std::fprintf(file_, "        </DataArray>\n");
}

void VtuXmlWriter::int32Array(const char* name, std::size_t n, const std::function<int(std::size_t)>& value)
{
    std::fprintf(file_, "        <DataArray type=\"Int32\" Name=\"%s\" format=\"ascii\">\n", xmlEscaped(name).c_str());
    for (std::size_t i = 0; i < n; ++i) std::fprintf(file_, "%d\n", value(i));
    std::fprintf(file_, "        </DataArray>\n");
}

void VtuXmlWriter::end()
{
    std::fprintf(file_, "    </Piece>\n");
    std::fprintf(file_, "  </UnstructuredGrid>\n");
    std::fprintf(file_, "</VTKFile>\n");
}

bool VtuXmlWriter::close()
{
    const bool written = std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return written && closed;
}

namespace {

constexpr int kVtkQuad = 9;
constexpr int kVtkHexahedron = 12;

} // namespace

bool writeHexahedraVTU(const std::string& path, const Mesh& mesh, const std::vector<NodalField>& fields)
{
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const std::size_t n = static_cast<std::size_t>(m.nNodes), cells = static_cast<std::size_t>(m.nElements);
    const std::vector<float> coords = dev::download(m.nodeCoords, 3 * n);
    const std::vector<int> connectivity = dev::download(m.elementNodes, 8 * cells);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    VtuXmlWriter xml(file);
    xml.begin(n, cells);
    xml.points(coords.data(), n);
    xml.cells(cells, 8, kVtkHexahedron, [&](std::size_t c, int k) { return connectivity[8 * c + k]; });
    xml.beginPointData();
    for (const NodalField& field : fields) xml.float64Array(field.name.c_str(), n, field.value);
    xml.endPointData();
    xml.beginCellData();
    xml.endCellData();
    xml.end();
    return xml.close();
}

void writeBoundaryFaceGroupsVTU(const Mesh& mesh, const char* path, const std::vector<std::vector<int>>& groups,
                                bool includeUnassigned)
{
    if (path == nullptr) {
        msg::out("Error: output filename is null in writeBoundaryFaceGroupsVTU\n");
        return;
    }
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    if (m.nFaces <= 0 || m.nNodes <= 0) {
        msg::out("Error: mesh has no faces or nodes; cannot write %s\n", path);
        return;
    }
    const std::vector<int> faceNodes = dev::download(m.faceNodes, 4 * static_cast<std::size_t>(m.nFaces));
    const std::vector<float> coords = dev::download(m.nodeCoords, 3 * static_cast<std::size_t>(m.nNodes));
    std::vector<int> group(static_cast<std::size_t>(m.nFaces), -1);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const int id = static_cast<int>(g);
        for (int face : groups[g]) {
            if (face < 0 || face >= m.nFaces) {
                msg::out("Warning: skipping out-of-range face id %d for group %d (nFaces=%d)\n", face, id, m.nFaces);
                continue;
            }
            if (group[face] >= 0 && group[face] != id) {
                msg::out("Warning: face %d already assigned to group %d, overwriting with group %d\n", face,
                         group[face], id);
            }
            group[face] = id;
        }
    }
    std::vector<int> selected;
    for (int f = 0; f < m.nFaces; ++f) {
        if (includeUnassigned || group[f] >= 0) selected.push_back(f);
    }
    if (selected.empty()) {
        msg::out("Warning: no faces selected for VTU output %s\n", path);
        return;
    }
    errno = 0;
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        msg::out("Error: cannot open file %s for writing\n", path);
        throw std::runtime_error(std::string("cannot write ") + path + ": " + std::strerror(errno));
    }
    VtuXmlWriter xml(file);
    xml.begin(static_cast<std::size_t>(m.nNodes), selected.size());
    xml.points(coords.data(), static_cast<std::size_t>(m.nNodes));
    xml.cells(selected.size(), 4, kVtkQuad,
              [&](std::size_t c, int k) { return faceNodes[4 * static_cast<std::size_t>(selected[c]) + k]; });
    xml.beginCellData();
    xml.int32Array("FaceId", selected.size(), [&](std::size_t c) { return selected[c]; });
    xml.int32Array("GroupId", selected.size(), [&](std::size_t c) { return group[selected[c]]; });
    xml.endCellData();
    xml.end();
    if (!xml.close()) throw std::runtime_error(std::string("writing ") + path + " failed (disk full?)");
    msg::out("Boundary groups written to VTU file: %s\n", path);
}

void writeBoundaryConditionGroupsVTU(const Mesh& mesh, const char* path, bool includeUnassigned)
{
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    if (m.nFaces <= 0) {
        msg::out("Error: mesh has no boundary faces; cannot write %s\n", path ? path : "<null>");
        return;
    }
    const std::vector<int> faceBC = dev::download(m.faceBC, static_cast<std::size_t>(m.nFaces));
    std::vector<std::vector<int>> groups(static_cast<std::size_t>(std::max(m.nBC, 0)));
    for (int f = 0; f < m.nFaces; ++f) {
        const int b = faceBC[f];
        if (b >= 0 && b < m.nBC) groups[b].push_back(f);
    }
    writeBoundaryFaceGroupsVTU(mesh, path, groups, includeUnassigned);
}
