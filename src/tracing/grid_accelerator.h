// A uniform grid over the mesh's boundary faces (to place rays on the surface) or over its
// nodes (the curing module's neighbour search). Each item sits in the cell of its centre
// (the linked lists cellHead/cellNext, which the occupancy report reads); the face grid's
// cell edge is as long as the largest face along each axis, so a face reaches at most into
// the 3x3x3 block of cells around its own. The face grid also lists, per cell, every face
// whose box reaches into it (cellStart/cellFaces): the ray walk reads only those, one cell
// at a time. The nodal grid keeps a copy of the nodes sorted by cell (cellStart/cellNodes),
// so that a neighbour search reads each cell, and each row of cells along x, as one run of
// memory rather than chasing a list through the whole mesh.
//
// Kernels receive GridView, a plain copy of the grid's counts and device addresses; the
// polymorphic host classes own the memory and build it.
#pragma once

#include <vector>

#include "common/vec3.h"
#include "device/buffer.h"
#include "mesh/mesh_data.h"
#include "rays/ray.h"
#include "tracing/watertight.h"

class Mesh;

// The boundary-face test shared by the grid walk and the brute-force tracer: the face as
// the triangles (c0, c1, c2) and, when that misses, (c0, c2, c3); a nearer hit updates the
// ray's hitDistance, face and normal ((c1 - c0) x (c3 - c0), normalised).
__host__ __device__ inline void intersectBoundaryFace(Ray* ray, const MeshDataFlat* mesh, int face)
{
    const int* n = mesh->faceNodes + 4 * face;
    const Vec3 c0 = mesh->getNodeVec(n[0], mesh->nodeCoords);
    const Vec3 c1 = mesh->getNodeVec(n[1], mesh->nodeCoords);
    const Vec3 c2 = mesh->getNodeVec(n[2], mesh->nodeCoords);
    const Vec3 c3 = mesh->getNodeVec(n[3], mesh->nodeCoords);
    intersectQuad(ray, c0, c1, c2, c3, face);
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

    // The cell holding p (indices truncated toward zero), -1 outside the grid.
    __host__ __device__ int cellOf(Vec3 p) const
    {
        const int ix = static_cast<int>((p.x - origin.x) / cellSize.x);
        const int iy = static_cast<int>((p.y - origin.y) / cellSize.y);
        const int iz = static_cast<int>((p.z - origin.z) / cellSize.z);
        return inside(ix, iy, iz) ? cellIndex(ix, iy, iz) : -1;
    }

    // Appends the item to the end of the cell's list.
    __host__ __device__ void insertElement(int cell, int item)
    {
        if (cellHead[cell] < 0) {
            cellHead[cell] = item;
            return;
        }
        int last = cellHead[cell];
        while (cellNext[last] >= 0) last = cellNext[last];
        cellNext[last] = item;
    }

    // Clips the ray to the grid's box (slab test): false when it misses the box or only
    // touches it behind its start. Otherwise *tEnter is the distance along the ray at which
    // it enters (0 when it starts inside) and idx the cell there. The cell is located from
    // the distance, clamped to the grid, rather than from a point nudged across the box's
    // face: far from the grid a fixed nudge is smaller than the rounding of the entry point
    // and the ray would find no cell at all.
    __host__ __device__ bool enterGrid(Vec3 p, Vec3 d, float* tEnter, int idx[3]) const
    {
        const int n[3] = {nx, ny, nz};
        float t0 = 0.0f, t1 = floatInfinity();
        for (int a = 0; a < 3; ++a) {
            const float lo = origin[a], hi = origin[a] + static_cast<float>(n[a]) * cellSize[a];
            if (fabsf(d[a]) < 1e-10f) {
                if (!(lo <= p[a] && p[a] < hi)) return false; // parallel to a slab it is outside of
                continue;
            }
            const float inv = 1.0f / d[a];
            float tLo = (lo - p[a]) * inv, tHi = (hi - p[a]) * inv;
            if (tLo > tHi) {
                const float swap = tLo;
                tLo = tHi;
                tHi = swap;
            }
            t0 = fmaxf(t0, tLo);
            t1 = fminf(t1, tHi);
        }
        if (!(t0 <= t1) || n[0] < 1 || n[1] < 1 || n[2] < 1) return false;
        for (int a = 0; a < 3; ++a) {
            const float q = fmaf(t0, d[a], p[a]);
            const int i = static_cast<int>(floorf((q - origin[a]) / cellSize[a]));
            idx[a] = i < 0 ? 0 : (i >= n[a] ? n[a] - 1 : i);
        }
        *tEnter = t0;
        return true;
    }

    // The cell in which the ray enters the grid, -1 if it does not; *entry receives the
    // entry point (the ray's position when it starts inside the grid).
    __host__ __device__ int findInitialCell(const Ray* ray, Vec3* entry = nullptr) const
    {
        float t;
        int idx[3];
        if (!enterGrid(ray->position, ray->direction, &t, idx)) return -1;
        if (entry) {
            for (int a = 0; a < 3; ++a) (*entry)[a] = fmaf(t, ray->direction[a], ray->position[a]);
        }
        return cellIndex(idx[0], idx[1], idx[2]);
    }

    __host__ __device__ void intersectFace(Ray* ray, const MeshDataFlat* mesh, int face) const
    {
        intersectBoundaryFace(ray, mesh, face);
    }

    // Walks the cells the ray passes through (3-D DDA from the cell where it enters the
    // grid), testing the faces listed in each; the nearest hit stays in the ray.
    //
    // Every face is listed in each cell its box (slightly enlarged, see buildFaceGrid)
    // reaches into, so when the walk is in a cell, every face the ray hits at a point of that
    // cell or of a cell before it has been tested. The walk can therefore stop as soon as
    // the nearest hit so far lies no farther than where the ray leaves the current cell:
    // any nearer hit would lie in a cell already walked.
    __host__ __device__ void findIntersection(Ray* ray, const MeshDataFlat* mesh) const
    {
        const Vec3 p = ray->position, d = ray->direction;
        float tEnter;
        int idx[3];
        if (!enterGrid(p, d, &tEnter, idx)) return;
        const int n[3] = {nx, ny, nz};
        int step[3];
        float tDelta[3], tMax[3];
        for (int a = 0; a < 3; ++a) {
            if (fabsf(d[a]) < 1e-10f) {
                step[a] = 0;
                tDelta[a] = floatInfinity();
                tMax[a] = floatInfinity();
            } else {
                const float inv = 1.0f / d[a];
                step[a] = inv < 0.0f ? -1 : 1;
                tDelta[a] = fabsf(cellSize[a] * inv);
                const float boundary = origin[a] + static_cast<float>(idx[a] + (step[a] > 0 ? 1 : 0)) * cellSize[a];
                tMax[a] = (boundary - p[a]) * inv;
            }
        }
        while (true) {
            const int cell = cellIndex(idx[0], idx[1], idx[2]);
            const int end = cellStart[cell + 1];
            for (int k = cellStart[cell]; k < end; ++k) intersectFace(ray, mesh, cellFaces[k]);
            const int a = (tMax[0] <= tMax[1] && tMax[0] <= tMax[2]) ? 0 : (tMax[1] <= tMax[2] ? 1 : 2);
            if (ray->hitDistance <= tMax[a]) return;
            idx[a] += step[a];
            if (idx[a] < 0 || idx[a] >= n[a]) return;
            tMax[a] += tDelta[a];
        }
    }
};

// What the brute-force tracer's kernel receives: it tests every face in order.
struct BruteForceView {
    __host__ __device__ void findIntersection(Ray* ray, const MeshDataFlat* mesh) const
    {
        for (int f = 0; f < mesh->nFaces; ++f) intersectBoundaryFace(ray, mesh, f);
    }
};

class Accelerator {
public:
    virtual ~Accelerator() = default;
    virtual void buildFaceGrid(Mesh& /*mesh*/) {}
    virtual void buildNodalGrid(Mesh& /*mesh*/, Vec3 /*cellSize*/) {}
    BruteForceView view() const { return {}; }
};

class GridAccelerator : public Accelerator {
public:
    void buildFaceGrid(Mesh& mesh) override;
    void buildNodalGrid(Mesh& mesh, Vec3 cellSize) override;

    GridView view() const { return grid_; }

    // Prints every cell's items, then the totals.
    void printCells(int itemCount) const;
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
