#include "mesh/connectivity.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <unordered_map>

#include "common/messages.h"
#include "mesh/hex8_geometry.h"
#include "mesh/mesh.h"

namespace {

using FaceKey = std::array<int, 4>; // the face's global node ids, ascending

// The hash decides the bucket layout of the face map, and the map's iteration order is
// the boundary-face numbering users see: keep it exactly as it is.
struct FaceKeyHash {
    std::size_t operator()(const FaceKey& key) const noexcept
    {
        std::uint32_t h = 0;
        for (int k : key) {
            const std::int32_t signedH = static_cast<std::int32_t>(h);
            h ^= static_cast<std::uint32_t>(k) + 0x9E3779B9u + (h << 6) + static_cast<std::uint32_t>(signedH >> 2);
        }
        return static_cast<std::size_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(h)));
    }
};

// The elements sharing a face. Only lists of one (boundary) or two (interior) are used,
// so the first two entries and the count suffice.
struct FaceUsers {
    int count = 0;
    int element[2] = {-1, -1};
    int face[2] = {-1, -1};
};

// In-plane axes (first, second) of each local face: (xi, eta), (eta, zeta), (zeta, xi).
void inPlane(int face, int corner, int& a1, int& a2)
{
    const Hex8Corner c = hex8Corner(corner);
    const float local[3] = {c.xi, c.eta, c.zeta};
    static constexpr int axes[6][2] = {{0, 1}, {0, 1}, {1, 2}, {1, 2}, {2, 0}, {2, 0}};
    a1 = static_cast<int>(local[axes[face][0]]);
    a2 = static_cast<int>(local[axes[face][1]]);
}

void transform(int code, int a1, int a2, int& b1, int& b2)
{
    switch (code) {
    case 0:
        b1 = a1;
        b2 = a2;
        break;
    case 1:
        b1 = a1;
        b2 = -a2;
        break;
    case 2:
        b1 = -a1;
        b2 = a2;
        break;
    case 3:
        b1 = -a1;
        b2 = -a2;
        break;
    case 4:
        b1 = a2;
        b2 = a1;
        break;
    case 5:
        b1 = a2;
        b2 = -a1;
        break;
    case 6:
        b1 = -a2;
        b2 = a1;
        break;
    default:
        b1 = -a2;
        b2 = -a1;
        break;
    }
}

} // namespace

std::uint8_t faceOrientationCode(const std::vector<int>& elementNodes, int A, int fA, int B, int fB)
{
    int a[4][2], b[4][2];
    for (int i = 0; i < 4; ++i) {
        const int cornerA = kHex8LocalFaceNodes[fA][i];
        const int node = elementNodes[8 * static_cast<std::size_t>(A) + cornerA];
        int cornerB = -1;
        for (int d = 0; d < 8; ++d) {
            if (elementNodes[8 * static_cast<std::size_t>(B) + d] == node) {
                cornerB = d;
                break;
            }
        }
        if (cornerB < 0) return kNoOrientation;
        inPlane(fA, cornerA, a[i][0], a[i][1]);
        inPlane(fB, cornerB, b[i][0], b[i][1]);
    }
    for (int t = 0; t < 8; ++t) {
        bool all = true;
        for (int i = 0; i < 4 && all; ++i) {
            int b1, b2;
            transform(t, a[i][0], a[i][1], b1, b2);
            all = b1 == b[i][0] && b2 == b[i][1];
        }
        if (all) return static_cast<std::uint8_t>(t);
    }
    return kNoOrientation;
}

void buildConnectivity(Mesh& mesh)
{
    MeshDataFlat& m = mesh.h_mdata_devlink;
    const int nElements = m.nElements;
    const std::size_t six = 6 * static_cast<std::size_t>(nElements);
    const std::vector<int> elementNodes = dev::download(m.elementNodes, 8 * static_cast<std::size_t>(nElements));

    std::vector<int> neighbors(six, -1), neighborTypes(six, kNeighborUnresolved);

    std::unordered_map<FaceKey, FaceUsers, FaceKeyHash> faces;
    faces.max_load_factor(1.0f);
    faces.reserve(six);
    for (int e = 0; e < nElements; ++e) {
        for (int f = 0; f < 6; ++f) {
            FaceKey key;
            for (int i = 0; i < 4; ++i)
                key[i] = elementNodes[8 * static_cast<std::size_t>(e) + kHex8LocalFaceNodes[f][i]];
            std::sort(key.begin(), key.end());
            FaceUsers& users = faces[key];
            if (users.count < 2) {
                users.element[users.count] = e;
                users.face[users.count] = f;
            }
            ++users.count;
        }
    }

    std::vector<int> faceElement, faceNodes;
    int boundary = 0;
    for (const auto& [key, users] : faces) {
        if (users.count == 2) {
            const int e1 = users.element[0], f1 = users.face[0], e2 = users.element[1], f2 = users.face[1];
            neighbors[6 * e1 + f1] = e2;
            neighbors[6 * e2 + f2] = e1;
            neighborTypes[6 * e1 + f1] = kNeighborInterior;
            neighborTypes[6 * e2 + f2] = kNeighborInterior;
        } else if (users.count == 1) {
            const int e = users.element[0], f = users.face[0];
            neighbors[6 * e + f] = boundary;
            neighborTypes[6 * e + f] = kNeighborBoundary;
            faceElement.push_back(e);
            // Faces 1, 3, 5 are listed outward already; faces 0, 2, 4 are reversed, so that
            // (P1 - P0) x (P3 - P0) points out of a positively oriented element.
            const bool reversed = f % 2 == 0;
            for (int i = 0; i < 4; ++i) {
                const int corner = kHex8LocalFaceNodes[f][reversed ? 3 - i : i];
                faceNodes.push_back(elementNodes[8 * static_cast<std::size_t>(e) + corner]);
            }
            ++boundary;
        }
        // Faces shared by three or more elements stay unresolved.
    }

    mesh.allocateFaces(boundary);
    mesh.uploadMeshData();

    std::vector<int> neighborFaces(six, -1);
    std::vector<std::uint8_t> orientation(six, kNoOrientation);
    std::vector<int> faceLocalIndex(static_cast<std::size_t>(boundary), -1);
    for (int e = 0; e < nElements; ++e) {
        for (int f = 0; f < 6; ++f) {
            const std::size_t ef = 6 * static_cast<std::size_t>(e) + f;
            if (neighborTypes[ef] == kNeighborInterior) {
                const int u = neighbors[ef];
                for (int k = 0; k < 6; ++k) {
                    const std::size_t uk = 6 * static_cast<std::size_t>(u) + k;
                    if (neighborTypes[uk] != kNeighborInterior || neighbors[uk] != e) continue;
                    neighborFaces[ef] = k;
                    neighborFaces[uk] = f;
                    orientation[ef] = faceOrientationCode(elementNodes, e, f, u, k);
                    orientation[uk] = faceOrientationCode(elementNodes, u, k, e, f);
                }
            } else if (neighborTypes[ef] == kNeighborBoundary) {
                faceLocalIndex[neighbors[ef]] = f;
            }
        }
    }

    dev::upload(m.elementNeighbors, neighbors);
    dev::upload(m.elementNeighborTypes, neighborTypes);
    dev::upload(m.elementNeighborFaces, neighborFaces);
    dev::upload(m.elementFaceOrientation, orientation);
    if (boundary > 0) {
        dev::upload(m.faceElement, faceElement);
        dev::upload(m.faceNodes, faceNodes);
        dev::upload(m.faceLocalIndex, faceLocalIndex);
    }
    dev::synchronize();
    msg::out("Mesh connectivity: %d boundary faces\n", boundary);
    mesh.computeNormals();
}
