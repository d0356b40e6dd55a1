#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "common/messages.h"
#include "mesh/mesh.h"

namespace {

template <typename T>
void fill(dev::DeviceArray<T>& array, const std::vector<T>& values, const char* what)
{
    array.allocate(values.size(), what);
    array.upload(values);
}

struct Corners {
    std::vector<int> faceNodes;
    std::vector<float> coords; // component-major
};

Corners corners(const MeshDataFlat& m)
{
    return {Mesh::download(m.faceNodes, 4 * static_cast<std::size_t>(m.nFaces)),
            Mesh::download(m.nodeCoords, 3 * static_cast<std::size_t>(m.nNodes))};
}

// Faces whose corners pass `inside` (all four, or at least one).
std::vector<int> selectFaces(const MeshDataFlat& m, bool requireAll,
                             const std::function<bool(double, double, double)>& inside)
{
    std::vector<int> selected;
    if (m.nFaces <= 0 || m.nNodes <= 0) return selected;
    const Corners c = corners(m);
    const int N = m.nNodes;
    for (int f = 0; f < m.nFaces; ++f) {
        int count = 0;
        for (int k = 0; k < 4; ++k) {
            const int node = c.faceNodes[4 * static_cast<std::size_t>(f) + k];
            if (node < 0 || node >= N) continue;
            count += inside(c.coords[node], c.coords[N + node], c.coords[2 * static_cast<std::size_t>(N) + node]);
        }
        if (requireAll ? count == 4 : count >= 1) selected.push_back(f);
    }
    return selected;
}

} // namespace

void Mesh::clearBoundaryConditions()
{
    storage.releaseConditions();
    MeshDataFlat& m = h_mdata_devlink;
    m.nBC = 0;
    m.nBCFaces = 0;
    m.bcRoughSurface = nullptr;
    m.bcRoughness = nullptr;
    m.bcInteractionType = nullptr;
    m.bcRefrIndexReal = nullptr;
    m.bcRefrIndexImag = nullptr;
    m.bcFaceOffsets = nullptr;
    m.bcFaces = nullptr;
    if (m.faceBC && m.nFaces > 0) dev::memset(m.faceBC, 0xFF, sizeof(int) * static_cast<std::size_t>(m.nFaces));
    uploadMeshData();
}

void Mesh::setBoundaryConditions(const std::vector<OpticalBoundaryCondition>& conditions)
{
    clearBoundaryConditions();
    MeshDataFlat& m = h_mdata_devlink;
    std::vector<int> table(static_cast<std::size_t>(std::max(m.nFaces, 0)), -1);
    if (!conditions.empty()) {
        const std::size_t n = conditions.size();
        std::vector<int> rough(n), type(n), offsets(n + 1), faces;
        std::vector<float> roughness(n), real(n), imag(n);
        for (std::size_t b = 0; b < n; ++b) {
            const OpticalBoundaryCondition& bc = conditions[b];
            rough[b] = bc.rough_surface ? 1 : 0;
            roughness[b] = static_cast<float>(bc.roughness);
            type[b] = static_cast<int>(bc.interaction_type);
            real[b] = static_cast<float>(bc.refractive_index_real);
            imag[b] = static_cast<float>(bc.refractive_index_imag);
            offsets[b] = static_cast<int>(faces.size());
            const int id = static_cast<int>(b);
            for (int face : bc.faces) {
                if (face < 0 || face >= m.nFaces) {
                    msg::out("Warning: skipping out-of-range boundary face %d for BC %d (nFaces=%d)\n", face, id,
                             m.nFaces);
                    continue;
                }
                if (table[face] >= 0) {
                    msg::out("Warning: boundary face %d already assigned to BC %d, overwriting with BC %d\n", face,
                             table[face], id);
                }
                table[face] = id;
                faces.push_back(face);
            }
        }
        offsets[n] = static_cast<int>(faces.size());
        Storage& s = storage;
        fill(s.bcRoughSurface, rough, "bcRoughSurface");
        fill(s.bcRoughness, roughness, "bcRoughness");
        fill(s.bcInteractionType, type, "bcInteractionType");
        fill(s.bcRefrIndexReal, real, "bcRefrIndexReal");
        fill(s.bcRefrIndexImag, imag, "bcRefrIndexImag");
        fill(s.bcFaceOffsets, offsets, "bcFaceOffsets");
        if (!faces.empty()) fill(s.bcFaces, faces, "bcFaces");
        m.nBC = static_cast<int>(n);
        m.nBCFaces = static_cast<int>(faces.size());
        m.bcRoughSurface = s.bcRoughSurface.data();
        m.bcRoughness = s.bcRoughness.data();
        m.bcInteractionType = s.bcInteractionType.data();
        m.bcRefrIndexReal = s.bcRefrIndexReal.data();
        m.bcRefrIndexImag = s.bcRefrIndexImag.data();
        m.bcFaceOffsets = s.bcFaceOffsets.data();
        m.bcFaces = s.bcFaces.data();
    }
    if (m.faceBC && m.nFaces > 0) upload(m.faceBC, table);
    uploadMeshData();
}

std::vector<int> Mesh::selectBoundaryFacesBBox(bool requireAll, double xMin, double xMax, double yMin, double yMax,
                                               double zMin, double zMax, double tolerance) const
{
    // Node coordinates are single precision: a limit is compared as the float it would be
    // stored as, so a face on the plane z = 0.3 is on the box face z = 0.3 (float(0.3) is
    // 1.2e-8 away from 0.3, far beyond the default tolerance).
    double lo[3] = {xMin, yMin, zMin}, hi[3] = {xMax, yMax, zMax};
    for (int a = 0; a < 3; ++a) {
        if (lo[a] > hi[a]) std::swap(lo[a], hi[a]);
        lo[a] = static_cast<double>(static_cast<float>(lo[a])) - tolerance;
        hi[a] = static_cast<double>(static_cast<float>(hi[a])) + tolerance;
    }
    return selectFaces(h_mdata_devlink, requireAll, [&](double x, double y, double z) {
        return lo[0] <= x && x <= hi[0] && lo[1] <= y && y <= hi[1] && lo[2] <= z && z <= hi[2];
    });
}

std::vector<int> Mesh::selectBoundaryFacesRadial(bool requireAll, double radiusMin, double radiusMax,
                                                 double tolerance) const
{
    if (radiusMin > radiusMax) std::swap(radiusMin, radiusMax);
    // Radii of single-precision nodes carry their rounding (a relative 2^-23 per
    // coordinate); the band is widened by that much beside the tolerance.
    const double rounding = 2.0 * std::numeric_limits<float>::epsilon();
    const double outer = std::max(radiusMax, 0.0) * (1.0 + rounding) + tolerance;
    const double inner = std::max(std::max(radiusMin, 0.0) * (1.0 - rounding) - tolerance, 0.0);
    return selectFaces(h_mdata_devlink, requireAll, [&](double x, double y, double) {
        const double r = std::sqrt(x * x + y * y);
        return inner <= r && r <= outer;
    });
}

void Mesh::writeBoundaryFaceGroupsVTU(const char* path, const std::vector<std::vector<int>>& groups,
                                      bool includeUnassigned) const
{
    if (path == nullptr) {
        msg::out("Error: output filename is null in writeBoundaryFaceGroupsVTU\n");
        return;
    }
    const MeshDataFlat& m = h_mdata_devlink;
    if (m.nFaces <= 0 || m.nNodes <= 0) {
        msg::out("Error: mesh has no faces or nodes; cannot write %s\n", path);
        return;
    }
    const Corners c = corners(m);
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
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        msg::out("Error: cannot open file %s for writing\n", path);
        return;
    }
    const int N = m.nNodes;
    const int S = static_cast<int>(selected.size());
    std::fprintf(file, "<?xml version=\"1.0\"?>\n");
    std::fprintf(file, "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n");
    std::fprintf(file, "  <UnstructuredGrid>\n");
    std::fprintf(file, "    <Piece NumberOfPoints=\"%d\" NumberOfCells=\"%d\">\n", N, S);
    std::fprintf(file, "      <Points>\n");
    std::fprintf(file, "        <DataArray type=\"Float64\" NumberOfComponents=\"3\" format=\"ascii\">\n");
    for (int i = 0; i < N; ++i) {
        std::fprintf(file, "%e %e %e\n", static_cast<double>(c.coords[i]), static_cast<double>(c.coords[N + i]),
                     static_cast<double>(c.coords[2 * static_cast<std::size_t>(N) + i]));
    }
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "      </Points>\n");
    std::fprintf(file, "      <Cells>\n");
    std::fprintf(file, "        <DataArray type=\"Int32\" Name=\"connectivity\" format=\"ascii\">\n");
    for (int f : selected) {
        for (int k = 0; k < 4; ++k) std::fprintf(file, "%d ", c.faceNodes[4 * static_cast<std::size_t>(f) + k]);
        std::fprintf(file, "\n");
    }
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "        <DataArray type=\"Int32\" Name=\"offsets\" format=\"ascii\">\n");
    for (int k = 1; k <= S; ++k) std::fprintf(file, "%d\n", 4 * k);
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\n");
    for (int k = 0; k < S; ++k) std::fprintf(file, "9\n");
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "      </Cells>\n");
    std::fprintf(file, "      <CellData>\n");
    std::fprintf(file, "        <DataArray type=\"Int32\" Name=\"FaceId\" format=\"ascii\">\n");
    for (int f : selected) std::fprintf(file, "%d\n", f);
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "        <DataArray type=\"Int32\" Name=\"GroupId\" format=\"ascii\">\n");
    for (int f : selected) std::fprintf(file, "%d\n", group[f]);
    std::fprintf(file, "        </DataArray>\n");
    std::fprintf(file, "      </CellData>\n");
    std::fprintf(file, "    </Piece>\n");
    std::fprintf(file, "  </UnstructuredGrid>\n");
    std::fprintf(file, "</VTKFile>\n");
    std::fclose(file);
    msg::out("Boundary groups written to VTU file: %s\n", path);
}

void Mesh::writeBoundaryConditionGroupsVTU(const char* path, bool includeUnassigned) const
{
    const MeshDataFlat& m = h_mdata_devlink;
    if (m.nFaces <= 0) {
        msg::out("Error: mesh has no boundary faces; cannot write %s\n", path ? path : "<null>");
        return;
    }
    const std::vector<int> faceBC = download(m.faceBC, static_cast<std::size_t>(m.nFaces));
    std::vector<std::vector<int>> groups(static_cast<std::size_t>(std::max(m.nBC, 0)));
    for (int f = 0; f < m.nFaces; ++f) {
        const int b = faceBC[f];
        if (b >= 0 && b < m.nBC) groups[b].push_back(f);
    }
    writeBoundaryFaceGroupsVTU(path, groups, includeUnassigned);
}
