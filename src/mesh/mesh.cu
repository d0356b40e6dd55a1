#include "mesh/mesh.h"
#include "device/launch.h"

#include <cmath>
#include <cstring>

#include "common/messages.h"
#include "mesh/hex8_geometry.h"

// --- Kernels -------------------------------------------------------------------------------

__global__ void computeNormalsKernel(MeshDataFlat* mesh)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= mesh->nFaces) return;
    const int* f = mesh->faceNodes + 4 * i;
    const Vec3 a = mesh->getNodeVec(f[0], mesh->nodeCoords);
    const Vec3 b = mesh->getNodeVec(f[1], mesh->nodeCoords);
    const Vec3 d = mesh->getNodeVec(f[3], mesh->nodeCoords);
    Vec3 n = cross(b - a, d - a);
    const float L = sqrtf(dot(n, n));
    if (L != 0.0f) {
        const float inv = 1.0f / L;
        n = Vec3(n.x * inv, n.y * inv, n.z * inv);
    } else {
        n = Vec3(0.0f, 0.0f, 0.0f);
    }
    const int N = mesh->nFaces;
    mesh->faceNormals[i] = n.x;
    mesh->faceNormals[N + i] = n.y;
    mesh->faceNormals[2 * N + i] = n.z;
}

// (sic) The kernel's name carries the spelling scripts and logs have always seen.
__global__ void setMateriapPropertiesConstant(MeshDataFlat* mesh, float refractiveIndex, float absorptivity)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= mesh->nNodes) return;
    mesh->refrIndex[i] = refractiveIndex;
    mesh->absorptivity[i] = absorptivity;
}

__global__ void setRefractiveIndexConstant(MeshDataFlat* mesh, float refractiveIndex)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i < mesh->nNodes) mesh->refrIndex[i] = refractiveIndex;
}

__global__ void setAbsorptivityConstant(MeshDataFlat* mesh, float absorptivity)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i < mesh->nNodes) mesh->absorptivity[i] = absorptivity;
}

__global__ void checkConstRefrIndexKernel(MeshDataFlat* mesh)
{
    const int e = static_cast<int>(dev::globalThreadIndex());
    if (e >= mesh->nElements) return;
    const float r0 = mesh->refrIndex[mesh->getElementNode(e, 0)];
    int flag = 1;
    for (int k = 1; k < 8; ++k) {
        if (fabsf(mesh->refrIndex[mesh->getElementNode(e, k)] - r0) > 1e-6f) {
            flag = 0;
            break;
        }
    }
    mesh->constRefrIndex[e] = flag;
}

__global__ void computeNodalMassKernel(MeshDataFlat* mesh)
{
    const int e = static_cast<int>(dev::globalThreadIndex());
    if (e >= mesh->nElements) return;
    Vec3 nodes[8];
    for (int k = 0; k < 8; ++k) nodes[k] = mesh->getNodeVec(mesh->getElementNode(e, k), mesh->nodeCoords);
    const float m = static_cast<float>(0.125 * hex8Volume(nodes));
    for (int k = 0; k < 8; ++k) dev::atomicAdd(&mesh->nodalMass[mesh->getElementNode(e, k)], m);
}

__global__ void packNodeRecordsKernel(MeshDataFlat* mesh)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= mesh->nNodes) return;
    NodeRecord r{};
    const Vec3 x = mesh->getNodeVec(i, mesh->nodeCoords);
    r.x = x.x;
    r.y = x.y;
    r.z = x.z;
    r.index = mesh->refrIndex[i];
    r.absorptivity = mesh->absorptivity[i];
    // A node without a positive volume (one that no element holds: meshes are refused or
    // reordered when an element is flat or inside out) gets 0, not an infinity that would
    // turn a zero deposit into NaN.
    const float volume = mesh->nodalMass[i];
    r.inverseVolume = volume > 0.0f ? 1.0f / volume : 0.0f;
    mesh->nodeRecords[i] = r;
}

__global__ void printDeviceData(MeshDataFlat* mesh, int count)
{
    if (dev::globalThreadIndex() != 0) return;
    dev::printf("\n=== Device Memory Verification ===\n");
    dev::printf("nFaces: %d (boundary: %d), nNodes: %d\n", mesh->nFaces, count, mesh->nNodes);
    if (count < 1 || count > 16) return;
    dev::printf("\nFace Data from Device:\n");
    const int N = mesh->nFaces;
    for (int i = 0; i < count && i < N; ++i) {
        const int* f = mesh->faceNodes + 4 * i;
        dev::printf("Face %d: Element %d, Nodes [", i, mesh->faceElement[i]);
        dev::printf("%d, %d, %d, %d", f[0], f[1], f[2], f[3]);
        dev::printf("], Normal [%.3f, %.3f, %.3f]\n", mesh->faceNormals[i], mesh->faceNormals[N + i],
                    mesh->faceNormals[2 * N + i]);
    }
}

// --- Host operations -----------------------------------------------------------------------

namespace {

void requireCount(int n, const char* what)
{
    if (n < 0) throw std::invalid_argument(std::string(what) + " count must not be negative");
}

} // namespace

Mesh::Mesh()
{
    std::memset(&h_mdata_devlink, 0, sizeof h_mdata_devlink);
    std::memcpy(h_mdata_devlink.localFaceNodes, kHex8LocalFaceNodes, sizeof kHex8LocalFaceNodes);
    storage.record.allocate(1, "mesh record");
    d_mdata = storage.record.data();
    uploadMeshData();
}

Mesh::Mesh(int nodes, int elements, int faces) : Mesh()
{
    allocateNodes(nodes);
    allocateElements(elements);
    allocateFaces(faces);
    uploadMeshData();
}

void Mesh::allocateNodes(int n)
{
    requireCount(n, "node");
    Storage& s = storage;
    s.nodeCoords.allocate(3 * static_cast<std::size_t>(n), "nodeCoords");
    s.refrIndex.allocate(n, "refrIndex");
    s.absorptivity.allocate(n, "absorptivity");
    s.nodalMass.allocate(n, "nodalMass");
    refreshRecord();
}

void Mesh::allocateElements(int n)
{
    requireCount(n, "element");
    Storage& s = storage;
    const std::size_t six = 6 * static_cast<std::size_t>(n);
    s.elementNodes.allocate(8 * static_cast<std::size_t>(n), "elementNodes");
    s.elementNeighbors.allocate(six, "elementNeighbors");
    s.elementNeighborTypes.allocate(six, "elementNeighborTypes");
    s.elementNeighborFaces.allocate(six, "elementNeighborFaces");
    s.elementFaceOrientation.allocate(six, "elementFaceOrientation");
    dev::memset(s.elementFaceOrientation.data(), kNoOrientation, six);
    s.constRefrIndex.allocate(n, "constRefrIndex");
    refreshRecord();
}

void Mesh::allocateFaces(int n)
{
    requireCount(n, "face");
    Storage& s = storage;
    s.faceNodes.allocate(4 * static_cast<std::size_t>(n), "faceNodes");
    s.faceNormals.allocate(3 * static_cast<std::size_t>(n), "faceNormals");
    s.faceElement.allocate(n, "faceElement");
    s.faceLocalIndex.allocate(n, "faceLocalIndex");
    s.faceBC.allocate(n, "faceBC");
    dev::memset(s.faceBC.data(), 0xFF, s.faceBC.bytes()); // every entry -1
    refreshRecord();
}

void Mesh::refreshRecord()
{
    const Storage& s = storage;
    MeshDataFlat& m = h_mdata_devlink;
    const auto count = [](std::size_t n) { return static_cast<int>(n); };
    m.nNodes = count(s.refrIndex.size());
    m.nodeCoords = s.nodeCoords.data();
    m.refrIndex = s.refrIndex.data();
    m.nodalMass = s.nodalMass.data();
    m.absorptivity = s.absorptivity.data();

    m.nFaces = count(s.faceBC.size());
    m.faceElement = s.faceElement.data();
    m.faceLocalIndex = s.faceLocalIndex.data();
    m.faceNodes = s.faceNodes.data();
    m.faceNormals = s.faceNormals.data();
    m.faceBC = s.faceBC.data();

    m.nBC = count(s.bcRoughSurface.size());
    m.nBCFaces = count(s.bcFaces.size());
    m.bcRoughSurface = s.bcRoughSurface.data();
    m.bcRoughness = s.bcRoughness.data();
    m.bcInteractionType = s.bcInteractionType.data();
    m.bcRefrIndexReal = s.bcRefrIndexReal.data();
    m.bcRefrIndexImag = s.bcRefrIndexImag.data();
    m.bcFresnel = s.bcFresnel.data();
    m.bcFaceOffsets = s.bcFaceOffsets.data();
    m.bcFaces = s.bcFaces.data();

    m.nElements = count(s.constRefrIndex.size());
    m.elementNodes = s.elementNodes.data();
    m.elementNeighbors = s.elementNeighbors.data();
    m.elementNeighborTypes = s.elementNeighborTypes.data();
    m.elementNeighborFaces = s.elementNeighborFaces.data();
    m.elementFaceOrientation = s.elementFaceOrientation.data();
    m.constRefrIndex = s.constRefrIndex.data();
    m.nodeRecords = s.nodeRecords.data();
    uploadMeshData();
}

void Mesh::uploadMeshData() { dev::upload(d_mdata, &h_mdata_devlink, 1); }

void Mesh::computeNormals()
{
    dev::launchItems(DEV_KERNEL(computeNormalsKernel), h_mdata_devlink.nFaces, 128, dev::kDefaultStream, d_mdata);
    dev::synchronize();
}

void Mesh::setMaterialPropertiesConstant(float refractiveIndex, float absorptivity)
{
    const unsigned blocks = dev::blocksFor(h_mdata_devlink.nNodes, 128) + 1;
    dev::launch(DEV_KERNEL(setMateriapPropertiesConstant), blocks, 128, dev::kDefaultStream, d_mdata, refractiveIndex,
                absorptivity);
    dev::synchronize();
}

void Mesh::setRefractiveIndexConstant(float refractiveIndex)
{
    const unsigned blocks = dev::blocksFor(h_mdata_devlink.nNodes, 128) + 1;
    dev::launch(DEV_KERNEL(::setRefractiveIndexConstant), blocks, 128, dev::kDefaultStream, d_mdata, refractiveIndex);
    dev::synchronize();
}

void Mesh::setAbsorptivityConstant(float absorptivity)
{
    const unsigned blocks = dev::blocksFor(h_mdata_devlink.nNodes, 128) + 1;
    dev::launch(DEV_KERNEL(::setAbsorptivityConstant), blocks, 128, dev::kDefaultStream, d_mdata, absorptivity);
    dev::synchronize();
}

void Mesh::checkConstRefrIndex()
{
    const int n = h_mdata_devlink.nElements;
    dev::launchItems(DEV_KERNEL(checkConstRefrIndexKernel), n, 256, dev::kDefaultStream, d_mdata);
    dev::synchronize();
    const std::vector<int> flags = dev::download(h_mdata_devlink.constRefrIndex, static_cast<std::size_t>(n));
    int constant = 0;
    for (int f : flags) constant += f == 1;
    msg::out("Refractive index regions: %d constant, %d varying (%.1f%% constant)\n", constant, n - constant,
             100.0 * constant / n);
}

void Mesh::computeNodalMass()
{
    dev::memset(h_mdata_devlink.nodalMass, 0, sizeof(float) * static_cast<std::size_t>(h_mdata_devlink.nNodes));
    dev::launchItems(DEV_KERNEL(computeNodalMassKernel), h_mdata_devlink.nElements, 256, dev::kDefaultStream, d_mdata);
    dev::synchronize();
}

void Mesh::packNodeRecords()
{
    const std::size_t n = static_cast<std::size_t>(h_mdata_devlink.nNodes);
    if (storage.nodeRecords.size() != n) {
        storage.nodeRecords.allocate(n, "node records");
        refreshRecord();
    }
    if (n > 0) dev::launchItems(DEV_KERNEL(packNodeRecordsKernel), n, 256, dev::kDefaultStream, d_mdata);
}

void Mesh::printDeviceData(int count)
{
    dev::launch(DEV_KERNEL(::printDeviceData), 1, 1, dev::kDefaultStream, d_mdata, count);
    dev::synchronize();
}

void Mesh::releaseMesh()
{
    Storage& s = storage;
    s.nodeCoords.release();
    s.refrIndex.release();
    s.absorptivity.release();
    s.nodalMass.release();
    s.faceNodes.release();
    s.faceNormals.release();
    s.faceElement.release();
    s.faceLocalIndex.release();
    s.faceBC.release();
    s.elementNodes.release();
    s.elementNeighbors.release();
    s.elementNeighborTypes.release();
    s.elementNeighborFaces.release();
    s.elementFaceOrientation.release();
    s.constRefrIndex.release();
    s.nodeRecords.release();
    s.releaseConditions();
    refreshRecord(); // no addresses of released arrays stay behind
}
