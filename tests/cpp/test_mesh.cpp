#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "IO/mesh_readers.h"
#include "mesh/connectivity.h"
#include "mesh/hex8_geometry.h"
#include "mesh/mesh.h"
#include "mesh_fixtures.h"

namespace {

using fixtures::CapturedOutput;
using fixtures::fetch;
using fixtures::TempFile;

// A mesh of the given elements over the given points, built without a file.
std::unique_ptr<Mesh> meshOf(const std::vector<Vec3>& points, const std::vector<int>& elementNodes)
{
    const int nNodes = static_cast<int>(points.size());
    const int nElements = static_cast<int>(elementNodes.size() / 8);
    auto mesh = std::make_unique<Mesh>(nNodes, nElements, 0);
    std::vector<float> coords(3 * points.size());
    for (int i = 0; i < nNodes; ++i)
        for (int c = 0; c < 3; ++c) coords[c * nNodes + i] = points[i][c];
    dev::upload(mesh->h_mdata_devlink.nodeCoords, coords);
    dev::upload(mesh->h_mdata_devlink.elementNodes, elementNodes);
    mesh->setMaterialPropertiesConstant(1.0f, 0.0f);
    buildConnectivity(*mesh);
    mesh->computeNodalMass();
    return mesh;
}

const std::vector<Vec3> kCube = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                 {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};

TEST(Mesh, ConstructionLeavesAnEmptyRecordWithTheFaceTable)
{
    Mesh mesh;
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    EXPECT_NE(mesh.d_mdata, nullptr);
    EXPECT_EQ(m.nNodes, 0);
    EXPECT_EQ(m.nFaces, 0);
    EXPECT_EQ(m.nBC, 0);
    EXPECT_EQ(m.nBCFaces, 0);
    EXPECT_EQ(m.faceBC, nullptr);
    const int faces[6][4] = {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 3, 7, 4}, {1, 2, 6, 5}, {0, 4, 5, 1}, {3, 7, 6, 2}};
    for (int f = 0; f < 6; ++f)
        for (int i = 0; i < 4; ++i) EXPECT_EQ(m.localFaceNodes[f][i], faces[f][i]);
    // The device copy is what kernels read: it must carry the same table.
    const MeshDataFlat device = dev::download(mesh.d_mdata, 1)[0];
    EXPECT_EQ(device.localFaceNodes[5][3], 2);
}

TEST(Mesh, AllocationInitialisesOrientationAndConditions)
{
    Mesh mesh(10, 3, 7);
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    for (std::uint8_t code : fetch(m.elementFaceOrientation, 18)) EXPECT_EQ(code, 255);
    for (int bc : fetch(m.faceBC, 7)) EXPECT_EQ(bc, -1);
}

TEST(Mesh, ConstantPropertiesWriteExactlyEveryNode)
{
    // 300 nodes: not a multiple of the block size; the sanitizer build catches a write past the end.
    Mesh mesh(300, 1, 0);
    mesh.setMaterialPropertiesConstant(1.25f, 0.5f);
    for (float v : fetch(mesh.h_mdata_devlink.refrIndex, 300)) EXPECT_EQ(v, 1.25f);
    for (float v : fetch(mesh.h_mdata_devlink.absorptivity, 300)) EXPECT_EQ(v, 0.5f);
    mesh.setRefractiveIndexConstant(1.33f);
    mesh.setAbsorptivityConstant(0.0f);
    EXPECT_EQ(fetch(mesh.h_mdata_devlink.refrIndex, 300)[299], 1.33f);
    EXPECT_EQ(fetch(mesh.h_mdata_devlink.absorptivity, 300)[0], 0.0f);
}

TEST(Mesh, UnitCubeHasOutwardAxisNormalsAndAnEighthOfItsVolumePerNode)
{
    auto mesh = meshOf(kCube, {0, 1, 2, 3, 4, 5, 6, 7});
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    ASSERT_EQ(m.nFaces, 6);
    const std::vector<float> normals = fetch(m.faceNormals, 18);
    const std::vector<int> faceNodes = fetch(m.faceNodes, 24);
    for (int i = 0; i < 6; ++i) {
        const Vec3 n(normals[i], normals[6 + i], normals[12 + i]);
        EXPECT_NEAR(length(n), 1.0f, 1e-6f);
        // The face centre minus the cube centre points the same way as the normal.
        Vec3 centre;
        for (int k = 0; k < 4; ++k) centre = centre + 0.25f * kCube[faceNodes[4 * i + k]];
        const Vec3 out = centre - Vec3(0.5f, 0.5f, 0.5f);
        EXPECT_NEAR(dot(n, out), 0.5f, 1e-6f) << "face " << i;
    }
    for (float mass : fetch(m.nodalMass, 8)) EXPECT_NEAR(mass, 0.125f, 1e-6f);
}

TEST(Mesh, MirroredElementHasNegativeVolume)
{
    auto mesh = meshOf(kCube, {4, 5, 6, 7, 0, 1, 2, 3});
    for (float mass : fetch(mesh->h_mdata_devlink.nodalMass, 8)) EXPECT_NEAR(mass, -0.125f, 1e-6f);
}

// Volume of a trilinear hexahedron by a 4x4x4 Gauss rule in double, exact for its Jacobian
// determinant, written independently of the element code.
double referenceVolume(const std::vector<Vec3>& p)
{
    const double g[4] = {-0.8611363115940526, -0.3399810435848563, 0.3399810435848563, 0.8611363115940526};
    const double w[4] = {0.3478548451374538, 0.6521451548625461, 0.6521451548625461, 0.3478548451374538};
    const int corner[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                              {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
    double volume = 0;
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b)
            for (int c = 0; c < 4; ++c) {
                const double q[3] = {g[a], g[b], g[c]};
                double J[3][3] = {};
                for (int k = 0; k < 8; ++k) {
                    double d[3];
                    for (int i = 0; i < 3; ++i) {
                        d[i] = 0.125 * corner[k][i];
                        for (int j = 0; j < 3; ++j)
                            if (j != i) d[i] *= 1 + corner[k][j] * q[j];
                    }
                    for (int i = 0; i < 3; ++i)
                        for (int j = 0; j < 3; ++j) J[i][j] += d[i] * p[k][j];
                }
                const double det = J[0][0] * (J[1][1] * J[2][2] - J[1][2] * J[2][1]) -
                                   J[0][1] * (J[1][0] * J[2][2] - J[1][2] * J[2][0]) +
                                   J[0][2] * (J[1][0] * J[2][1] - J[1][1] * J[2][0]);
                volume += w[a] * w[b] * w[c] * det;
            }
    return volume;
}

TEST(Mesh, DistortedElementVolumeMatchesAnIndependentQuadrature)
{
    const std::vector<Vec3> p = {{0.0f, 0.1f, -0.2f}, {1.3f, 0.0f, 0.1f}, {1.1f, 1.4f, 0.0f}, {-0.2f, 0.9f, 0.2f},
                                 {0.1f, -0.1f, 1.2f}, {1.0f, 0.2f, 0.9f}, {1.5f, 1.2f, 1.6f}, {0.0f, 1.1f, 1.0f}};
    const double expected = referenceVolume(p);
    EXPECT_NEAR(hex8Volume(p.data()), expected, 1e-6 * expected);
    auto mesh = meshOf(p, {0, 1, 2, 3, 4, 5, 6, 7});
    for (float mass : fetch(mesh->h_mdata_devlink.nodalMass, 8)) EXPECT_NEAR(mass, expected / 8, 1e-6 * expected);
}

TEST(Mesh, TwoCubesShareOneInteriorFace)
{
    const std::vector<Vec3> points = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1},
                                      {1, 1, 1}, {0, 1, 1}, {2, 0, 0}, {2, 1, 0}, {2, 0, 1}, {2, 1, 1}};
    auto mesh = meshOf(points, {0, 1, 2, 3, 4, 5, 6, 7, 1, 8, 9, 2, 5, 10, 11, 6});
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    EXPECT_EQ(m.nFaces, 10);
    const auto neighbors = fetch(m.elementNeighbors, 12);
    const auto types = fetch(m.elementNeighborTypes, 12);
    const auto faces = fetch(m.elementNeighborFaces, 12);
    // Element 0's face 3 (xi = +1) is element 1's face 2 (xi = -1).
    EXPECT_EQ(types[3], 0);
    EXPECT_EQ(types[6 + 2], 0);
    EXPECT_EQ(neighbors[3], 1);
    EXPECT_EQ(neighbors[6 + 2], 0);
    EXPECT_EQ(faces[3], 2);
    EXPECT_EQ(faces[6 + 2], 3);
    // Every other face is a boundary face whose id points back at it.
    const auto faceElement = fetch(m.faceElement, 10);
    const auto faceLocal = fetch(m.faceLocalIndex, 10);
    for (int ef = 0; ef < 12; ++ef) {
        if (ef == 3 || ef == 8) continue;
        ASSERT_EQ(types[ef], 1);
        EXPECT_EQ(faceElement[neighbors[ef]], ef / 6);
        EXPECT_EQ(faceLocal[neighbors[ef]], ef % 6);
    }
    const auto mass = fetch(m.nodalMass, 12);
    for (int shared : {1, 2, 5, 6}) EXPECT_NEAR(mass[shared], 0.25f, 1e-6f);
    for (int single : {0, 3, 4, 7, 8, 9, 10, 11}) EXPECT_NEAR(mass[single], 0.125f, 1e-6f);
}

// T_t of the orientation table.
std::pair<int, int> applyCode(int t, int a1, int a2)
{
    switch (t) {
    case 0: return {a1, a2};
    case 1: return {a1, -a2};
    case 2: return {-a1, a2};
    case 3: return {-a1, -a2};
    case 4: return {a2, a1};
    case 5: return {a2, -a1};
    case 6: return {-a2, a1};
    default: return {-a2, -a1};
    }
}

TEST(Mesh, OrientationCodesOfARotatedNeighbourAreInverse)
{
    // The second cube lists its nodes rotated a quarter turn about the x axis, so the
    // shared face's in-plane axes differ on the two sides.
    const std::vector<Vec3> points = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1},
                                      {1, 1, 1}, {0, 1, 1}, {2, 0, 0}, {2, 1, 0}, {2, 0, 1}, {2, 1, 1}};
    const std::vector<int> nodes = {0, 1, 2, 3, 4, 5, 6, 7, 5, 10, 8, 1, 6, 11, 9, 2};
    auto mesh = meshOf(points, nodes);
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    EXPECT_EQ(m.nFaces, 10);
    const auto codes = fetch(m.elementFaceOrientation, 12);
    const auto faces = fetch(m.elementNeighborFaces, 12);
    const int f0 = 3, f1 = faces[f0];
    ASSERT_GE(f1, 0);
    const int t01 = codes[f0], t10 = codes[6 + f1];
    ASSERT_NE(t01, 255);
    ASSERT_NE(t10, 255);
    EXPECT_NE(t01, 0) << "the rotated neighbour should not map the face onto itself";
    EXPECT_EQ(t01, faceOrientationCode(nodes, 0, f0, 1, f1));
    for (int a1 : {-1, 1})
        for (int a2 : {-1, 1}) {
            const auto [b1, b2] = applyCode(t01, a1, a2);
            EXPECT_EQ(applyCode(t10, b1, b2), std::make_pair(a1, a2));
        }
    // Faces that share no node have no code.
    EXPECT_EQ(faceOrientationCode(nodes, 0, 2, 1, 3), 255);
}

TEST(Mesh, FaceSharedByThreeElementsStaysUnresolved)
{
    std::vector<Vec3> points = kCube;
    for (float x : {2.0f, 3.0f})
        for (Vec3 p : {Vec3(x, 0, 0), Vec3(x, 1, 0), Vec3(x, 0, 1), Vec3(x, 1, 1)}) points.push_back(p);
    // Elements 1 and 2 both sit on element 0's face 3 (nodes 1, 2, 6, 5).
    const std::vector<int> nodes = {0, 1, 2, 3, 4, 5, 6, 7, 1, 8, 9, 2, 5, 10, 11, 6, 1, 12, 13, 2, 5, 14, 15, 6};
    auto mesh = meshOf(points, nodes);
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    EXPECT_EQ(m.nFaces, 15);
    const auto types = fetch(m.elementNeighborTypes, 18);
    const auto neighbors = fetch(m.elementNeighbors, 18);
    for (int ef : {3, 6 + 2, 12 + 2}) {
        EXPECT_EQ(types[ef], -1);
        EXPECT_EQ(neighbors[ef], -1);
    }
}

TEST(Mesh, DegenerateFaceGetsAZeroNormal)
{
    std::vector<Vec3> points = kCube;
    points[3] = points[0]; // face 0 is listed (3, 2, 1, 0): its first and last nodes coincide
    auto mesh = meshOf(points, {0, 1, 2, 3, 4, 5, 6, 7});
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    const auto local = fetch(m.faceLocalIndex, m.nFaces);
    const auto normals = fetch(m.faceNormals, 3 * m.nFaces);
    int checked = 0;
    for (int i = 0; i < m.nFaces; ++i) {
        if (local[i] != 0) continue;
        for (int c = 0; c < 3; ++c) EXPECT_EQ(normals[c * m.nFaces + i], 0.0f);
        ++checked;
    }
    EXPECT_EQ(checked, 1);
}

TEST(Mesh, ConstantIndexCheckComparesWithCornerZeroOnly)
{
    // Corners within 1e-6 of corner 0 but 1.6e-6 apart from each other: still constant.
    TempFile file("const.vtk", std::string(fixtures::kTwoCubes));
    Mesh mesh;
    readVTK(file.path(), mesh);
    std::vector<float> index(12, 1.0f);
    index[1] = 1.0f + 8e-7f;
    index[2] = 1.0f - 8e-7f;
    for (int k : {8, 9, 10, 11}) index[k] = 1.0f + 2e-6f; // element 1 varies
    dev::upload(mesh.h_mdata_devlink.refrIndex, index);
    CapturedOutput out;
    mesh.checkConstRefrIndex();
    EXPECT_EQ(out.str(), "Refractive index regions: 1 constant, 1 varying (50.0% constant)\n");
    EXPECT_EQ(fetch(mesh.h_mdata_devlink.constRefrIndex, 2), (std::vector<int>{1, 0}));
}

TEST(Mesh, EmptyMeshReportsNoRegions)
{
    Mesh mesh;
    CapturedOutput out;
    mesh.checkConstRefrIndex();
    EXPECT_NE(out.str().find("Refractive index regions: 0 constant, 0 varying ("), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("nan% constant)\n"), std::string::npos) << out.str();
    mesh.computeNormals();
    mesh.computeNodalMass();
}

TEST(Mesh, ReleaseLeavesAnEmptyRecord)
{
    auto mesh = meshOf(kCube, {0, 1, 2, 3, 4, 5, 6, 7});
    mesh->releaseMesh();
    const MeshDataFlat device = dev::download(mesh->d_mdata, 1)[0];
    EXPECT_EQ(device.nNodes, 0);
    EXPECT_EQ(device.nodeCoords, nullptr);
    EXPECT_EQ(device.elementNodes, nullptr);
    EXPECT_EQ(device.localFaceNodes[1][0], 4);
}

TEST(Mesh, DeviceDataReportPrintsTheFirstFaces)
{
    if (std::string(dev::backendName()) != "cpu") GTEST_SKIP() << "the GPU prints device output itself";
    auto mesh = meshOf(kCube, {0, 1, 2, 3, 4, 5, 6, 7});
    CapturedOutput out;
    mesh->printDeviceData(1);
    const auto nodes = fetch(mesh->h_mdata_devlink.faceNodes, 4);
    const auto normals = fetch(mesh->h_mdata_devlink.faceNormals, 18);
    char line[200];
    std::snprintf(line, sizeof line, "Face 0: Element 0, Nodes [%d, %d, %d, %d], Normal [%.3f, %.3f, %.3f]\n", nodes[0],
                  nodes[1], nodes[2], nodes[3], normals[0], normals[6], normals[12]);
    EXPECT_EQ(out.str(), std::string("\n=== Device Memory Verification ===\nnFaces: 6 (boundary: 1), nNodes: 8\n"
                                     "\nFace Data from Device:\n") +
                             line);
}

} // namespace
