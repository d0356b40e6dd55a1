// The flat mesh record every kernel receives. Both extension modules are compiled against
// this one definition: the curing module reads it through raw addresses, so the field
// order is part of the interface.
#pragma once

#include <climits>
#include <cstdint>

#include "common/vec3.h"
#include "device/device.h"

// Local node numbers of the six faces of a HEX8 element: the planes zeta = -1, zeta = +1,
// xi = -1, xi = +1, eta = -1, eta = +1.
constexpr int kHex8LocalFaceNodes[6][4] = {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 3, 7, 4},
                                           {1, 2, 6, 5}, {0, 4, 5, 1}, {3, 7, 6, 2}};

// The local axis normal to face f (0 xi, 1 eta, 2 zeta) and the side of the element it lies
// on (-1 or +1); arithmetic rather than tables, so a kernel needs no local memory for them.
__host__ __device__ constexpr int faceNormalAxis(int f) { return f < 2 ? 2 : (f < 4 ? 0 : 1); }
__host__ __device__ constexpr float faceSide(int f) { return f % 2 == 0 ? -1.0f : 1.0f; }

// Kernels index the component-major node arrays as a[2 * nNodes + i] and the element
// arrays as a[8 * e + k] in int: the largest counts for which that cannot overflow.
constexpr int kMaxNodes = INT_MAX / 3;
constexpr int kMaxElements = INT_MAX / 8;

// Neighbour types per element face.
constexpr int kNeighborInterior = 0;
constexpr int kNeighborBoundary = 1;
constexpr int kNeighborUnresolved = -1;
constexpr std::uint8_t kNoOrientation = 255;

// One node as the walk reads it, packed from the node arrays of the record before every
// trace (the curing model writes the index and absorptivity arrays directly): 32 bytes, so
// an element's eight nodes come in eight memory sectors instead of forty-eight.
struct alignas(16) NodeRecord {
    float x, y, z, index;
    float absorptivity, inverseVolume, unused[2];
};

struct MeshDataFlat {
    int localFaceNodes[6][4];

    int nNodes;
    float* nodeCoords;   // 3 * nNodes, component-major
    float* refrIndex;    // nNodes
    float* nodalMass;    // nNodes: lumped nodal volume
    float* absorptivity; // nNodes

    int nFaces;          // boundary faces
    int* faceElement;    // nFaces
    int* faceLocalIndex; // nFaces
    int* faceNodes;      // 4 * nFaces, face-major, ordered so the normal points outward
    float* faceNormals;  // 3 * nFaces, component-major
    int* faceBC;         // nFaces: condition index or -1

    int nBC;
    int nBCFaces;
    int* bcRoughSurface;
    float* bcRoughness;
    int* bcInteractionType;
    float* bcRefrIndexReal;
    float* bcRefrIndexImag;
    int* bcFresnel;     // FresnelModel
    int* bcFaceOffsets; // nBC + 1
    int* bcFaces;       // nBCFaces

    int nElements;
    int* elementNodes;                    // 8 * nElements, element-major
    int* elementNeighbors;                // 6 * nElements
    int* elementNeighborTypes;            // 6 * nElements
    int* elementNeighborFaces;            // 6 * nElements
    std::uint8_t* elementFaceOrientation; // 6 * nElements
    int* constRefrIndex;                  // nElements
    NodeRecord* nodeRecords;              // nNodes, see Mesh::packNodeRecords (after the fields above,
                                          // whose offsets the curing module relies on)

    __host__ __device__ int getElementNode(int e, int k) const { return elementNodes[8 * e + k]; }
    __host__ __device__ void setElementNode(int e, int k, int node) { elementNodes[8 * e + k] = node; }

    __host__ __device__ Vec3 getNodeVec(int i, const float* a) const
    {
        return {a[i], a[nNodes + i], a[2 * nNodes + i]};
    }
    __host__ __device__ void setNodeVec(int i, Vec3 v, float* a) const
    {
        a[i] = v.x;
        a[nNodes + i] = v.y;
        a[2 * nNodes + i] = v.z;
    }

    __host__ __device__ int getElementNeighbor(int e, int f) const { return elementNeighbors[6 * e + f]; }
    __host__ __device__ void setElementNeighbor(int e, int f, int value) { elementNeighbors[6 * e + f] = value; }
    __host__ __device__ int getElementNeighborType(int e, int f) const { return elementNeighborTypes[6 * e + f]; }
    __host__ __device__ void setElementNeighborType(int e, int f, int value)
    {
        elementNeighborTypes[6 * e + f] = value;
    }
};
