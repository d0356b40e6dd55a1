#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <stdexcept>

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
    return {dev::download(m.faceNodes, 4 * static_cast<std::size_t>(m.nFaces)),
            dev::download(m.nodeCoords, 3 * static_cast<std::size_t>(m.nNodes))};
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
    const MeshDataFlat& m = h_mdata_devlink;
    if (m.faceBC && m.nFaces > 0) dev::memset(m.faceBC, 0xFF, sizeof(int) * static_cast<std::size_t>(m.nFaces));
    refreshRecord();
}

void Mesh::setBoundaryConditions(const std::vector<OpticalBoundaryCondition>& conditions)
{
    // A condition that would trace as some other medium is refused before anything changes.
    for (std::size_t b = 0; b < conditions.size(); ++b) {
        const OpticalBoundaryCondition& bc = conditions[b];
        if (!std::isfinite(bc.refractive_index_real) || bc.refractive_index_real <= 0.0) {
            throw std::invalid_argument(
                msg::format("boundary condition %zu: refractive_index_real must be a finite number > 0, not %g", b,
                            bc.refractive_index_real));
        }
        if (!std::isfinite(bc.refractive_index_imag)) {
            throw std::invalid_argument(
                msg::format("boundary condition %zu: refractive_index_imag must be a finite number, not %g", b,
                            bc.refractive_index_imag));
        }
        if (!std::isfinite(bc.roughness) || bc.roughness < 0.0) {
            throw std::invalid_argument(
                msg::format("boundary condition %zu: roughness must be a finite number >= 0, not %g", b, bc.roughness));
        }
    }
    clearBoundaryConditions();
    const MeshDataFlat& m = h_mdata_devlink;
    std::vector<int> table(static_cast<std::size_t>(std::max(m.nFaces, 0)), -1);
    if (!conditions.empty()) {
        const std::size_t n = conditions.size();
        std::vector<int> rough(n), type(n), fresnel(n), offsets(n + 1), faces;
        std::vector<float> roughness(n), real(n), imag(n);
        for (std::size_t b = 0; b < n; ++b) {
            const OpticalBoundaryCondition& bc = conditions[b];
            rough[b] = bc.rough_surface ? 1 : 0;
            roughness[b] = static_cast<float>(bc.roughness);
            type[b] = static_cast<int>(bc.interaction_type);
            real[b] = static_cast<float>(bc.refractive_index_real);
            imag[b] = static_cast<float>(bc.refractive_index_imag);
            fresnel[b] = static_cast<int>(bc.fresnel);
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
        fill(s.bcFresnel, fresnel, "bcFresnel");
        fill(s.bcFaceOffsets, offsets, "bcFaceOffsets");
        if (!faces.empty()) fill(s.bcFaces, faces, "bcFaces");
    }
    if (m.faceBC && m.nFaces > 0) dev::upload(m.faceBC, table);
    refreshRecord();
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
