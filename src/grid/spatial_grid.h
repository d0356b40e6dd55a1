// A uniform grid over the mesh's boundary faces (to place rays on the surface) or over its
// nodes (the curing module's neighbour search). Each item sits in the cell of its centre
// (the linked lists cellHead/cellNext, which the occupancy report reads); the face grid's
// cell edge is as long as the largest face along each axis, so a face reaches at most into
// the 3x3x3 block of cells around its own. The face grid also lists, per cell, every face
// whose box reaches into it (cellStart/cellFaces): the tracer's ray walk reads only those,
// one cell at a time. The nodal grid keeps a copy of the nodes sorted by cell
// (cellStart/cellNodes), so that a neighbour search reads each cell, and each row of cells
// along x, as one run of memory rather than chasing a list through the whole mesh.
//
// Kernels receive GridView, a plain copy of the grid's counts and device addresses; the
// host class SpatialGrid owns the memory and builds it.
#pragma once

#include <vector>

#include "common/vec3.h"
#include "device/buffer.h"

class Mesh;

// The one rule by which the grids place a coordinate on an axis: the cell is the floor of
// its scaled position (x - origin) / edge, in float for the builds and the ray walk, in
// double for the curing model's neighbour search. Clamped to the grid's cells (a value
// that is not a number gives cell 0), or -1 outside them; both decide before converting,
// which could overflow.
__host__ __device__ inline float cellFloor(float scaled) { return floorf(scaled); }
__host__ __device__ inline double cellFloor(double scaled) { return floor(scaled); }

template <typename T>
__host__ __device__ inline int clampedCell(T scaled, int count)
{
    const T v = cellFloor(scaled);
    return v >= T(0) ? (v < T(count - 1) ? static_cast<int>(v) : count - 1) : 0;
}

template <typename T>
__host__ __device__ inline int cellOrNone(T scaled, int count)
{
    const T v = cellFloor(scaled);
    return v >= T(0) && v < T(count) ? static_cast<int>(v) : -1;
}

// A node of the nodal grid's sorted copy: its coordinates (as the mesh holds them) and its
// index in the mesh. Sixteen bytes, so a GPU reads one in a single load.
struct alignas(16) CellNode {
    float x, y, z;
    int node;
};

struct GridView {
    int* cellHead = nullptr; // first item of each cell, -1 empty
    int* cellNext = nullptr; // next item in the same cell, -1 at the end
    // Runs per cell, as one array: cell c's items are [cellStart[c], cellStart[c + 1]) of
    // cellFaces (face grid: the faces whose box reaches into the cell, ascending) or of
    // cellNodes (nodal grid: the nodes whose position lies in it, ascending; the nodes that
    // lie in no cell, such as those with a coordinate that is not a number, follow the last
    // run, up to nodeCount). The unused one of the two is null.
    int* cellStart = nullptr;
    int* cellFaces = nullptr;
    CellNode* cellNodes = nullptr;
    int nodeCount = 0;
    int nx = 0, ny = 0, nz = 0;
    Vec3 cellSize;
    Vec3 origin;

    __host__ __device__ int cellIndex(int ix, int iy, int iz) const { return ix + nx * (iy + ny * iz); }
    __host__ __device__ bool inside(int ix, int iy, int iz) const
    {
        return ix >= 0 && ix < nx && iy >= 0 && iy < ny && iz >= 0 && iz < nz;
    }

    __host__ __device__ int count(int axis) const { return axis == 0 ? nx : (axis == 1 ? ny : nz); }

    // The cell along `axis` of coordinate x, clamped to the grid (clampedCell).
    __host__ __device__ int clampedCellAlong(int axis, float x) const
    {
        return clampedCell((x - origin[axis]) / cellSize[axis], count(axis));
    }

    // The cell holding p, -1 outside the grid (cellOrNone on each axis).
    __host__ __device__ int cellOf(Vec3 p) const
    {
        const int ix = cellOrNone((p.x - origin.x) / cellSize.x, nx);
        const int iy = cellOrNone((p.y - origin.y) / cellSize.y, ny);
        const int iz = cellOrNone((p.z - origin.z) / cellSize.z, nz);
        return ix >= 0 && iy >= 0 && iz >= 0 ? cellIndex(ix, iy, iz) : -1;
    }
};

class SpatialGrid {
public:
    void buildFaceGrid(Mesh& mesh);
    void buildNodalGrid(Mesh& mesh, Vec3 cellSize);

    GridView view() const { return grid_; }

    // The occupancy report of a build (cells, items per cell, 27-cell stencil sums).
    void printOccupancy(int itemCount, const std::vector<int>& head, const std::vector<int>& next,
                        const char* label) const;

private:
    void build(const std::vector<Vec3>& positions, const char* label);

    void buildFaceLists(const std::vector<Vec3>& lo, const std::vector<Vec3>& hi, float pad);

    void buildNodeRuns(const std::vector<Vec3>& positions);

    GridView grid_;
    dev::DeviceArray<int> cellHead_, cellNext_, cellStart_, cellFaces_;
    dev::DeviceArray<CellNode> cellNodes_;
};

// Percentile of an ascending list at fraction q, interpolating between neighbours.
float occupancyPercentile(const std::vector<int>& sorted, float q);
