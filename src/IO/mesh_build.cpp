#include "IO/mesh_build.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/messages.h"
#include "mesh/connectivity.h"
#include "mesh/hex8_geometry.h"
#include "mesh/mesh.h"

namespace {

[[noreturn]] void refuse(const HexMeshSource& source, const std::string& problem)
{
    throw std::runtime_error(source.name + ": " + problem);
}

enum class Sign { Any, NonNegative, Positive };

// Values the physics cannot take are refused with the first offending node.
void requirePhysical(const HexMeshSource& source, const std::vector<float>& values, int stride, const char* what,
                     Sign sign)
{
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float v = values[i];
        const std::string item = std::string(what) + " of node " + std::to_string(i / stride);
        if (!std::isfinite(v)) refuse(source, item + " is not a finite number (in single precision)");
        if (sign == Sign::Positive && !(v > 0.0f))
            refuse(source, item + " is " + msg::format("%g", v) + "; it must be > 0");
        if (sign == Sign::NonNegative && v < 0.0f)
            refuse(source, item + " is " + msg::format("%g", v) + "; it must be >= 0");
    }
}

// Mirrored elements get the order of their positive twin; an element no order can make
// valid is refused. Returns how many were mirrored.
int orientElements(const HexMeshSource& source, const std::vector<float>& points, std::vector<int>& hexahedra)
{
    int mirrored = 0;
    const std::size_t elements = hexahedra.size() / 8;
    for (std::size_t e = 0; e < elements; ++e) {
        int* ids = hexahedra.data() + 8 * e;
        const int orientation = hex8OrientationOf(ids, [&](int id) {
            const float* p = points.data() + 3 * static_cast<std::size_t>(id);
            return Vec3(p[0], p[1], p[2]);
        });
        if (orientation == 0) {
            refuse(source, "hexahedron " + std::to_string(e) +
                               " is degenerate or tangled (its volume Jacobian vanishes or changes sign)");
        }
        if (orientation < 0) {
            int mirror[8];
            for (int k = 0; k < 8; ++k) mirror[k] = ids[kHex8Mirror[k]];
            std::copy(mirror, mirror + 8, ids);
            ++mirrored;
        }
    }
    return mirrored;
}

// Defects a mesh can load with but that change what rays see, one warning line each:
// elements listed twice (their power is deposited twice), and nodes at the same place under
// different ids (the elements around them are not connected, so every face between them
// becomes a boundary face).
void reportDefects(const HexMeshInput& input)
{
    const std::size_t elements = input.hexahedra.size() / 8;
    std::vector<std::array<int, 8>> sorted(elements);
    for (std::size_t e = 0; e < elements; ++e) {
        std::copy_n(input.hexahedra.begin() + static_cast<std::ptrdiff_t>(8 * e), 8, sorted[e].begin());
        std::sort(sorted[e].begin(), sorted[e].end());
    }
    std::sort(sorted.begin(), sorted.end());
    std::size_t duplicated = 0;
    for (std::size_t e = 1; e < elements; ++e) duplicated += sorted[e] == sorted[e - 1];
    if (duplicated > 0) {
        msg::out("Warning: %zu hexahedra repeat another one's nodes (duplicated elements)\n", duplicated);
    }

    const std::size_t nodes = input.points.size() / 3;
    std::vector<std::size_t> order(nodes);
    for (std::size_t i = 0; i < nodes; ++i) order[i] = i;
    const auto at = [&](std::size_t i) {
        return std::array<float, 3>{input.points[3 * i], input.points[3 * i + 1], input.points[3 * i + 2]};
    };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return at(a) < at(b); });
    std::size_t coincident = 0;
    for (std::size_t k = 1; k < nodes; ++k) coincident += at(order[k]) == at(order[k - 1]);
    if (coincident > 0) {
        msg::out("Warning: %zu nodes lie exactly on another node without being shared; the elements there are not "
                 "connected (merge them, e.g. with lumetra.meshes.merge_nodes)\n",
                 coincident);
    }
}

// Copies one nodal field, or the default with a warning when the source did not give it whole.
void nodalField(const char* name, const char* what, float fallback, const NodalValues& field, int nodes,
                const HexMeshSource& source, float* deviceArray)
{
    const std::size_t n = static_cast<std::size_t>(nodes);
    if (field.given && field.values.size() == n) {
        dev::upload(deviceArray, field.values.data(), n);
        msg::out("Loaded %s data for %d nodes\n", name, nodes);
        return;
    }
    if (field.given && !field.values.empty()) {
        msg::out("Warning: %s data size mismatch: read %zu values, expected %d nodes\n", name, field.values.size(),
                 nodes);
    } else {
        msg::out("Warning: no %s data %s; %s set to %g at every node\n", name, source.fieldOrigin.c_str(), what,
                 fallback);
    }
    const std::vector<float> constant(n, fallback);
    dev::upload(deviceArray, constant);
}

} // namespace

void buildHexMesh(Mesh& mesh, HexMeshInput& input, const HexMeshSource& source)
{
    if (input.points.size() % 3 != 0) refuse(source, "the point coordinates are not triples");
    if (input.hexahedra.size() % 8 != 0) refuse(source, "the hexahedra do not have 8 node ids each");
    if (input.points.size() / 3 > static_cast<std::size_t>(kMaxNodes)) {
        refuse(source, std::to_string(input.points.size() / 3) + " nodes are more than the engine holds (at most " +
                           std::to_string(kMaxNodes) + ")");
    }
    if (input.hexahedra.size() / 8 > static_cast<std::size_t>(kMaxElements)) {
        refuse(source, std::to_string(input.hexahedra.size() / 8) +
                           " hexahedra are more than the engine holds (at most " + std::to_string(kMaxElements) + ")");
    }
    const int points = static_cast<int>(input.points.size() / 3);
    const int elements = static_cast<int>(input.hexahedra.size() / 8);
    if (elements == 0) refuse(source, "the mesh contains no hexahedra");
    for (std::size_t i = 0; i < input.hexahedra.size(); ++i) {
        const int id = input.hexahedra[i];
        if (id < 0 || id >= points) {
            refuse(source, "hexahedron " + std::to_string(i / 8) + " refers to node " + std::to_string(id) +
                               ", outside [0, " + std::to_string(points) + ")");
        }
    }
    requirePhysical(source, input.points, 3, "a coordinate", Sign::Any);
    if (input.refrIndex.given)
        requirePhysical(source, input.refrIndex.values, 1, "the refractive index", Sign::Positive);
    if (input.absorptivity.given) {
        requirePhysical(source, input.absorptivity.values, 1, "the absorptivity", Sign::NonNegative);
    }
    const int mirrored = orientElements(source, input.points, input.hexahedra);

    // Everything is checked: from here on the mesh changes.
    mesh.allocateElements(elements);
    mesh.allocateNodes(points);
    MeshDataFlat& m = mesh.h_mdata_devlink;
    std::vector<float> coords(3 * static_cast<std::size_t>(points));
    for (int i = 0; i < points; ++i) {
        for (int c = 0; c < 3; ++c) {
            coords[static_cast<std::size_t>(c) * points + i] = input.points[3 * static_cast<std::size_t>(i) + c];
        }
    }
    dev::upload(m.nodeCoords, coords);
    dev::upload(m.elementNodes, input.hexahedra);
    if (mirrored > 0) {
        msg::out("Warning: %d of %d hexahedra had mirrored node order (negative volume); their nodes were "
                 "reordered to positive volume\n",
                 mirrored, elements);
    }

    nodalField("RefractiveIndex", "refractive index", 1.0f, input.refrIndex, points, source, m.refrIndex);
    nodalField("Absorptivity", "absorptivity", 0.0f, input.absorptivity, points, source, m.absorptivity);

    mesh.uploadMeshData();
    msg::out("%s: %d elements, %d nodes\n", source.loaded.c_str(), elements, points);

    reportDefects(input);
    buildConnectivity(mesh);
    mesh.checkConstRefrIndex();
    mesh.computeNodalMass();
}
