// The host mesh: owns every device array of its flat record and the device copy of that
// record. Its first two members are fixed: the curing module receives this object's
// address and reads h_mdata_devlink right after d_mdata, so no virtual function (which
// would put a vtable pointer first) and nothing before them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "device/buffer.h"
#include "mesh/boundary_condition.h"
#include "mesh/mesh_data.h"

class Mesh {
public:
    MeshDataFlat* d_mdata = nullptr;
    MeshDataFlat h_mdata_devlink;

    Mesh();
    // Allocates nodes, elements and faces of these sizes and uploads the record.
    Mesh(int nodes, int elements, int faces);
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;

    // Contents of the new arrays are undefined except where noted.
    void allocateNodes(int n);
    void allocateElements(int n); // elementFaceOrientation set to 255
    void allocateFaces(int n);    // faceBC set to -1
    void uploadMeshData();
    // Sets every count and address of the record from the owners below and uploads it:
    // the one way the record follows an allocation or release.
    void refreshRecord();

    void computeNormals();
    void setMaterialPropertiesConstant(float refractiveIndex, float absorptivity);
    void setRefractiveIndexConstant(float refractiveIndex);
    void setAbsorptivityConstant(float absorptivity);
    void checkConstRefrIndex();
    void computeNodalMass();
    // Packs coordinates, index, absorptivity and inverse nodal volume into one record per node
    // (nodeRecords) for the walk; a trace calls it first, so it sees the current fields.
    void packNodeRecords();
    void printDeviceData(int count);
    void releaseMesh();

    // Boundary conditions: flattened into the record (per-condition arrays, the face lists
    // in CSR form, and faceBC per face; the last condition naming a face wins). Face ids
    // outside [0, nFaces) are skipped with a warning.
    void setBoundaryConditions(const std::vector<OpticalBoundaryCondition>& conditions);
    void clearBoundaryConditions();
    int boundaryConditionCount() const { return h_mdata_devlink.nBC; }

    // Boundary faces (ascending ids) with all four corners (requireAll) or at least one
    // corner inside the box / the radial band about the z axis, widened by tolerance.
    std::vector<int> selectBoundaryFacesBBox(bool requireAll, double xMin, double xMax, double yMin, double yMax,
                                             double zMin, double zMax, double tolerance) const;
    std::vector<int> selectBoundaryFacesRadial(bool requireAll, double radiusMin, double radiusMax,
                                               double tolerance) const;

    // Owners of the arrays the record points to. They come after the two members above and
    // share their access, so the class stays standard-layout.
    struct Storage {
        dev::DeviceArray<MeshDataFlat> record;
        dev::DeviceArray<float> nodeCoords, refrIndex, nodalMass, absorptivity;
        dev::DeviceArray<int> faceElement, faceLocalIndex, faceNodes, faceBC;
        dev::DeviceArray<float> faceNormals;
        dev::DeviceArray<int> bcRoughSurface, bcInteractionType, bcFresnel, bcFaceOffsets, bcFaces;
        dev::DeviceArray<float> bcRoughness, bcRefrIndexReal, bcRefrIndexImag;
        dev::DeviceArray<int> elementNodes, elementNeighbors, elementNeighborTypes, elementNeighborFaces;
        dev::DeviceArray<std::uint8_t> elementFaceOrientation;
        dev::DeviceArray<int> constRefrIndex;
        dev::DeviceArray<NodeRecord> nodeRecords;

        void releaseConditions() noexcept
        {
            bcRoughSurface.release();
            bcRoughness.release();
            bcInteractionType.release();
            bcRefrIndexReal.release();
            bcRefrIndexImag.release();
            bcFresnel.release();
            bcFaceOffsets.release();
            bcFaces.release();
        }
    };
    Storage storage;
};

static_assert(std::is_standard_layout_v<Mesh>, "Mesh is read through raw addresses");
static_assert(offsetof(Mesh, h_mdata_devlink) == sizeof(MeshDataFlat*), "h_mdata_devlink must follow d_mdata");
